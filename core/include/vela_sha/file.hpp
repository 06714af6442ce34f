// Kept only while manifest.hpp still includes it by this name: the template
// digest's value type is in template_sha256.hpp, its hashing in template_hasher.hpp.
#pragma once

#include "vela_sha/template_sha256.hpp"
