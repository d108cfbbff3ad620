#pragma once

#include "mail_clock.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Turns the caller's texts into the message text that one SMTP session sends.
// Everything here works on bytes: the caller's code page 949 texts travel
// unchanged inside Base64 and are labelled "EUC-KR".
namespace sendwick {

struct Mailbox
{
    std::string name;
    std::string address;
};

// "Name <address>" -> {"Name", "address"}. A mailbox without "<", or one that
// starts with "<", is used whole as both name and address.
Mailbox SplitMailbox(std::string_view mailbox);

// The text after the first "@", or the whole address when it has none.
std::string DomainOf(std::string_view address);

// Splits at `separator`; empty pieces (leading, trailing, doubled separators)
// are dropped, the others are kept exactly as written.
std::vector<std::string> SplitList(std::string_view list, char separator);

// RFC 4648 Base64, standard alphabet, "=" padding, no line breaks.
std::string Base64Encode(std::string_view bytes);

// RFC 2047 encoded word over all bytes, never folded: "=?EUC-KR?B?...?=".
std::string EncodeHeaderWord(std::string_view text);

// Cuts `text` into pieces of `width` characters, each followed by CR LF.
std::string SplitLines(std::string_view text, std::size_t width);

// Base64 of the whole file in lines of 76. The file is read in 6912-byte
// chunks (a multiple of 3, so the chunk encodings join into one Base64 text).
// A file that cannot be read gives an empty text: the part still travels.
std::string EncodeAttachment(const std::string& path);
inline constexpr std::size_t kAttachmentChunk = 6912;

// The name an attachment travels under: the text after the last "/" or "\",
// with CR, LF and double quotes replaced by "_" so it cannot end its header.
std::string AttachmentFileName(std::string_view path);

// "Mon, 07 Dec 2026 09:15:02 +0900": English names whatever the locale.
std::string FormatDateText(const ZonedTime& time);

// Doubles a "." that starts a line so that the server does not take it for
// the end of the data or drop it (RFC 5321 4.5.2). Any LF counts as a line
// start, so a bare-LF "\n.\r\n" cannot end the data early at a lax server.
std::string DotStuff(std::string_view body);

// What one recipient's message is built from.
struct MessageInput
{
    std::string_view from;      // sender mailbox text
    std::string_view recipient; // recipient token
    std::string_view bodyType;
    std::string_view subject;
    std::string_view body;
    std::string_view attachments; // paths separated by ";"
    ZonedTime date;
};

// The complete text that follows DATA, including the final "\r\n.\r\n".
std::string BuildMessage(const MessageInput& input);

} // namespace sendwick
