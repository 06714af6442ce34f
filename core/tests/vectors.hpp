// Readers for the public test-vector files in tests/vectors.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vela_sha::testing {

using Bytes = std::vector<std::uint8_t>;

inline std::string vectors_path(const std::string& name) {
  return std::string(VELA_SHA_VECTORS_DIR) + "/" + name;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Hex digits in pairs; blanks between (or inside) tokens are ignored.
inline Bytes from_hex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c == ' ' || c == '\t' || c == '\r') continue;
    else throw std::runtime_error("not hex: " + text);
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw std::runtime_error("odd hex: " + text);
  return out;
}

inline std::string to_hex(const Bytes& bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) text += "0123456789abcdef"[byte >> 4], text += "0123456789abcdef"[byte & 0xF];
  return text;
}

inline std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// NIST CAVP "Len / Msg / MD" records; Msg is cut to Len/8 bytes (Len = 0 has Msg = 00).
struct ShaVector {
  Bytes message;
  Bytes digest;
};

inline std::vector<ShaVector> read_rsp(const std::string& name) {
  std::vector<ShaVector> vectors;
  std::size_t length = 0;
  Bytes message;
  for (const auto& line : lines_of(read_file(vectors_path(name)))) {
    const auto eq = line.find(" = ");
    if (eq == std::string::npos) continue;
    const std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 3));
    if (key == "Len") length = std::stoul(value) / 8;
    if (key == "Msg") message = from_hex(value), message.resize(length);
    if (key == "MD") vectors.push_back({message, from_hex(value)});
  }
  return vectors;
}

// utf8tests.txt: "num:valid:ASCII", "num:valid hex:HEX" or "num:invalid hex:HEX:...".
struct Utf8Case {
  std::string id;
  bool valid;
  Bytes bytes;
};

inline std::vector<Utf8Case> read_utf8_cases() {
  std::vector<Utf8Case> cases;
  for (const auto& line : lines_of(read_file(vectors_path("utf8tests.txt")))) {
    if (line.empty() || line[0] == '#') continue;
    const auto c1 = line.find(':');
    const auto c2 = line.find(':', c1 + 1);
    if (c1 == std::string::npos || c2 == std::string::npos) continue;
    const std::string id = trim(line.substr(0, c1)), kind = trim(line.substr(c1 + 1, c2 - c1 - 1));
    const std::string rest = line.substr(c2 + 1);
    if (kind == "valid") {
      cases.push_back({id, true, Bytes(rest.begin(), rest.end())});
    } else if (kind == "valid hex") {
      cases.push_back({id, true, from_hex(rest)});
    } else if (kind == "invalid hex") {
      cases.push_back({id, false, from_hex(rest.substr(0, rest.find(':')))});
    } else {
      throw std::runtime_error("unknown case kind: " + line);
    }
  }
  return cases;
}

}  // namespace vela_sha::testing
