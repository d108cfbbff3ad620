#pragma once

#include "mail_clock.h"
#include "outcome.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Turns the caller's texts into the message text that one SMTP session sends.
// Everything here works on bytes: the caller's code page 949 texts travel
// unchanged inside Base64, each labelled with the charset its bytes are in
// (CharsetOf).
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

// The charset label of a code page 949 text (RFC 2045 5.1). "EUC-KR" while
// every byte is ASCII or one of a pair that EUC-KR also holds (both bytes
// 0xA1-0xFE): every reader decodes that label, and that is how the text has
// always been labelled. "CP949" for a text with anything else, such as the
// syllables only code page 949 has (똠, 뷁): a reader that decodes EUC-KR
// strictly turns them into replacement characters, while "CP949" is the name
// under which Python, glibc's iconv (which produces these bytes in the
// program) and Perl decode code page 949 itself.
std::string_view CharsetOf(std::string_view text);

// RFC 2047 encoded word over all bytes, never folded: "=?EUC-KR?B?...?=",
// labelled by CharsetOf.
std::string EncodeHeaderWord(std::string_view text);

// Every line end as CR LF (RFC 5321 2.3.8): a bare LF or a bare CR becomes
// one, CR LF stays.
std::string CanonicalLineEnds(std::string_view text);

// Cuts `text` into pieces of `width` characters, each followed by CR LF.
std::string SplitLines(std::string_view text, std::size_t width);

// Base64 of the whole file in lines of 76, into `encoded`. The file is read
// in chunks of 1216 lines' worth of bytes (57 bytes a line, a multiple of 3,
// so the chunk encodings join into one Base64 text and each chunk starts a
// line). A file that cannot be read fails with the reason
// ("attachment /b/a.log cannot be read: No such file or directory").
Outcome EncodeAttachment(const std::string& path, std::string& encoded);
inline constexpr std::size_t kAttachmentChunk = 57 * 1216;

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
    std::string_view messageId{}; // "<unique@host>"; empty: a new one (NewMessageId)
};

// This machine's host name as it may stand on the right of a Message-ID:
// only letters, digits, "-" and "."; "localhost" when it has none.
std::string LocalHostName();

// "<random.pid.count@host>": unique to one message sent from `host`.
std::string NewMessageId(std::string_view host);

// The plain text a reader without HTML shows for an HTML page: the text of
// the body (head, style and script left out) with entities decoded, blanks
// collapsed as a browser does, a line per row, paragraph or break (empty
// lines left out), a header cell followed by ": ", and CR LF line ends. Bytes of 0x80 and above
// pass unchanged, so the text keeps the page's charset.
std::string HtmlToText(std::string_view html);

// True when `text` is well-formed UTF-8.
bool IsUtf8(std::string_view text);

// The complete text that follows DATA, including the final "\r\n.\r\n",
// into `message`, under a Message-ID. A "TEXT" body travels with CR LF line
// ends: without attachments as it is when it is ASCII, otherwise as
// text/plain in Base64 (safe without 8BITMIME). Any other body is HTML and
// travels as multipart/alternative: the page's text (HtmlToText) as
// text/plain, then the page as text/html, both in Base64, so that a reader
// without HTML shows the same facts. With attachments the body comes first
// in a multipart/mixed. An attachment's name beyond ASCII goes as RFC 2231
// "filename*" labelled UTF-8 when its bytes are UTF-8 (a file-system path),
// else by CharsetOf, with an ASCII stand-in as the type's name. An
// attachment that cannot be read fails the message with EncodeAttachment's
// reason.
Outcome BuildMessage(const MessageInput& input, std::string& message);

// The same for a caller that knows its attachments can be read: a failure
// throws std::runtime_error with the reason.
std::string BuildMessage(const MessageInput& input);

} // namespace sendwick
