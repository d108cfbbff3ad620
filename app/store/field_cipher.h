#pragma once

// The cipher of the two password columns of the schedule file: Blowfish in
// ECB mode under one fixed key, padded with p bytes of value p (1..8), and
// written as Base64. It keeps the passwords from being read at a glance; it is
// not protection against anyone who has the program.

#include <optional>
#include <string>
#include <string_view>

namespace veltrane {

// Enciphers a UTF-8 text (taken as its code page 949 bytes). Never fails; an
// empty text gives 12 characters.
std::string EncryptField(std::string_view text);

// Deciphers what EncryptField wrote. Characters outside the Base64 alphabet
// (blanks, line breaks) are skipped. Fails when fewer than 8 bytes decode, or
// when the text holds a character that code page 949 stores in two bytes.
// A damaged ciphertext deciphers to a wrong text, not to a failure.
std::optional<std::string> DecryptField(std::string_view cipherText);

// The Base64 of the field cipher (standard alphabet, "=" padding, no breaks).
std::string FieldBase64Encode(std::string_view bytes);
// Returns the decoded bytes, or nullopt when the text holds a character that
// code page 949 stores in two bytes.
std::optional<std::string> FieldBase64Decode(std::string_view text);

} // namespace veltrane
