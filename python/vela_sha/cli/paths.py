"""Node paths on disk: which are normalised, and where verify looks for them."""

from __future__ import annotations

import errno
import os
import stat
from typing import Sequence


def unnormalised(value: str) -> str | None:
    """Why a local_path source is not a normalised relative POSIX path, or None."""
    if value.startswith("/"):
        return "an absolute path"
    if value.startswith("./"):
        return "a leading './'"
    if value.endswith("/"):
        return "a trailing '/'"
    segments = value.split("/")
    for segment, why in (("", "an empty segment"), (".", "a '.' segment"), ("..", "a '..' segment")):
        if segment in segments:
            return why
    return None


class Roots:
    """The folders node paths start from, searched in order: the first that
    holds a path is where it is read (and where it must stay)."""

    def __init__(self, folders: Sequence[str]) -> None:
        self.folders = list(folders)

    def unusable(self) -> list[tuple[str, OSError]]:
        """Each folder that does not exist or is no folder, with why."""
        bad = []
        for folder in self.folders:
            try:
                if not stat.S_ISDIR(os.stat(folder).st_mode):
                    raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), folder)
            except OSError as error:
                bad.append((folder, error))
        return bad

    def locate(self, value: str) -> tuple[str, str | None]:
        """(the path to read for `value`, or why it is refused). The first folder
        with a file of that name gives it, as the template engines' loaders (and
        vela_sha.resolve) find it; failing that, the first where the name is
        anything at all, so that reading it says what is wrong; failing that,
        the first, where reading it says it is missing."""
        why = unnormalised(value)
        if why is not None:
            return "", f"not normalised ({why})"
        # Joined as text, so that a node named "-" is ./-, never standard input.
        candidates = [os.path.join(folder, value) for folder in self.folders]
        found = next((i for i, path in enumerate(candidates) if os.path.isfile(path)), None)
        if found is None:
            found = next((i for i, path in enumerate(candidates) if os.path.lexists(path)), 0)
        folder, path = os.path.realpath(self.folders[found]), os.path.realpath(candidates[found])
        if os.path.commonpath([folder, path]) != folder:
            return "", "resolves outside the root (a symbolic link points out)"
        return candidates[found], None
