// SHA-256 of a byte string, as 64 lowercase hexadecimal digits (OpenSSL's digest).
#pragma once

#include <string>

namespace tolvane::study {

std::string sha256Hex(const std::string& bytes);

}  // namespace tolvane::study
