#include "compose.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sendwick {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kBoundary = "NextMimePart";
constexpr std::string_view kAlternativeBoundary = "AltMimePart";
constexpr std::size_t kLineWidth = 76;
// Room kept after an attachment for what follows it (its CR LF, the next
// part's headers or the close-delimiter and the end of the data), so that
// the message is not moved for them.
constexpr std::size_t kTailReserve = 1024;

std::string_view Trim(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n\v\f";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

void AppendLine(std::string& out, std::string_view line)
{
    out.append(line);
    out.append(kCrLf);
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// The bytes one Base64 line of kLineWidth characters holds.
constexpr std::size_t kLineBytes = kLineWidth / 4 * 3;
static_assert(kAttachmentChunk % kLineBytes == 0, "each chunk starts a line");

// The size of Base64 of `bytes` bytes in lines of kLineWidth, each with CR LF.
std::size_t Base64LinesSize(std::size_t bytes)
{
    const std::size_t encoded = (bytes + 2) / 3 * 4;
    return encoded + (encoded + kLineWidth - 1) / kLineWidth * kCrLf.size();
}

// Appends Base64 of `bytes` in lines of kLineWidth, each followed by CR LF,
// straight into `out`: SplitLines(Base64Encode(bytes), kLineWidth) without
// the two texts in between. Pieces of a multiple of kLineBytes join into the
// lines of the whole.
void AppendBase64Lines(std::string& out, std::string_view bytes)
{
    const std::size_t at = out.size();
    out.resize(at + Base64LinesSize(bytes.size()));
    char* o = out.data() + at;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto quad = [&o](unsigned v) {
        o[0] = kBase64Alphabet[(v >> 18) & 63];
        o[1] = kBase64Alphabet[(v >> 12) & 63];
        o[2] = kBase64Alphabet[(v >> 6) & 63];
        o[3] = kBase64Alphabet[v & 63];
        o += 4;
    };
    std::size_t i = 0;
    for (; i + kLineBytes <= bytes.size(); i += kLineBytes) {
        for (std::size_t k = i; k < i + kLineBytes; k += 3)
            quad((unsigned{in[k]} << 16) | (unsigned{in[k + 1]} << 8) | in[k + 2]);
        *o++ = '\r';
        *o++ = '\n';
    }
    if (i == bytes.size())
        return;
    // The last, shorter line, padded as Base64Encode pads.
    for (; i + 3 <= bytes.size(); i += 3)
        quad((unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8) | in[i + 2]);
    if (const std::size_t rest = bytes.size() - i; rest > 0) {
        quad((unsigned{in[i]} << 16) | (rest == 2 ? unsigned{in[i + 1]} << 8 : 0u));
        o[-1] = '=';
        if (rest == 1)
            o[-2] = '=';
    }
    *o++ = '\r';
    *o++ = '\n';
}

void AppendBase64Body(std::string& out, std::string_view body)
{
    AppendBase64Lines(out, body);
    out.append(kCrLf);
    out.append(kCrLf);
}

// Asks the kernel to back the whole 2 MiB pages inside [start, start + size)
// of fresh memory with large pages: a 20 MiB attachment then costs a dozen
// page faults instead of thousands, which on a virtual machine take longer
// than the encoding itself. Only a hint: where it is refused nothing changes.
void AskForLargePages(char* start, std::size_t size)
{
    constexpr std::uintptr_t kLargePage = 2 * 1024 * 1024;
    const auto begin =
        (reinterpret_cast<std::uintptr_t>(start) + kLargePage - 1) & ~(kLargePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(start) + size) & ~(kLargePage - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Appends the attachment at `path` in Base64 lines to `out`; on failure
// `out` holds part of it and the outcome says why.
Outcome AppendEncodedFile(const std::string& path, std::string& out)
{
    auto unreadable = [&path](int error) {
        return Outcome::Failure(Outcome::Code::BadInput,
                                "attachment " + path + " cannot be read: " + std::strerror(error));
    };
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return unreadable(errno);
    // The message grows once to hold the whole file, not step by step: every
    // fresh megabyte of a growing text costs page faults and a copy.
    if (struct stat about{}; fstat(fd, &about) == 0 && about.st_size > 0) {
        const std::size_t from = out.size();
        out.reserve(from + Base64LinesSize(static_cast<std::size_t>(about.st_size)) + kTailReserve);
        AskForLargePages(out.data() + from, out.capacity() - from);
    }
    std::string chunk(kAttachmentChunk, '\0');
    int error = 0;
    for (bool end = false; !end && error == 0;) {
        // Each chunk is filled whole before it is encoded, however the reads
        // come back, so that only the last one can end a line early or need
        // padding.
        std::size_t got = 0;
        while (got < chunk.size()) {
            const ssize_t n = read(fd, chunk.data() + got, chunk.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                error = errno;
            if (n <= 0) {
                end = true;
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        AppendBase64Lines(out, std::string_view(chunk.data(), got));
    }
    close(fd);
    return error != 0 ? unreadable(error) : Outcome::Success();
}

bool IsAscii(std::string_view text)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// RFC 2231 4: charset'language'value, every byte but attribute-chars as %XX.
std::string ExtendedParameterValue(std::string_view charset, std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out(charset);
    out.append("''");
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') ||
                           std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
        if (plain)
            out.push_back(c);
        else
            out.append(1, '%').append(1, kHex[byte >> 4]).append(1, kHex[byte & 15]);
    }
    return out;
}

// `attribute` as RFC 2231 continuations ("filename*0*=...;" on lines of
// their own), so that a long name never makes a header line too long. A
// piece never splits a %XX.
std::string ExtendedParameter(std::string_view attribute, std::string_view value)
{
    constexpr std::size_t kPiece = 60;
    std::string out;
    std::size_t at = 0;
    for (int index = 0; at < value.size(); ++index) {
        std::size_t end = std::min(value.size(), at + kPiece);
        if (end < value.size() && value[end - 1] == '%')
            end -= 1;
        else if (end < value.size() && end >= 2 && value[end - 2] == '%')
            end -= 2;
        if (index > 0)
            out.append(";\r\n ");
        out.append(attribute).append("*").append(std::to_string(index)).append("*=");
        out.append(value.substr(at, end - at));
        at = end;
    }
    return out;
}

// The name with each character beyond ASCII as "_": what a reader without
// RFC 2231 shows.
std::string AsciiStandIn(std::string_view name)
{
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte < 0x80) {
            out.push_back(name[i]);
            continue;
        }
        out.push_back('_');
        // One "_" per character: skip a UTF-8 character's continuation bytes,
        // or the trail byte of a double-byte one.
        if (IsUtf8(name)) {
            while (i + 1 < name.size() && (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80)
                ++i;
        } else if (i + 1 < name.size()) {
            ++i;
        }
    }
    return out;
}

Outcome AppendAttachmentPart(std::string& out, const std::string& path)
{
    std::string name = AttachmentFileName(path);
    AppendLine(out, std::string("--").append(kBoundary));
    if (IsAscii(name)) {
        AppendLine(out, "Content-Type: application/octet-stream; name=\"" + name + "\"");
        AppendLine(out, "Content-Transfer-Encoding: base64");
        AppendLine(out, "Content-Disposition: attachment; filename=\"" + name + "\"");
    } else {
        // A name beyond ASCII carries its true charset in the disposition
        // (RFC 2231): a path's bytes are UTF-8; other bytes are the caller's
        // code page. A reader without RFC 2231 shows the type's ASCII name.
        const std::string_view charset = IsUtf8(name) ? "UTF-8" : CharsetOf(name);
        AppendLine(out,
                   "Content-Type: application/octet-stream; name=\"" + AsciiStandIn(name) + "\"");
        AppendLine(out, "Content-Transfer-Encoding: base64");
        AppendLine(out, "Content-Disposition: attachment;\r\n " +
                            ExtendedParameter("filename", ExtendedParameterValue(charset, name)));
    }
    out.append(kCrLf);
    if (Outcome read = AppendEncodedFile(path, out); !read.ok())
        return read;
    out.append(kCrLf);
    return Outcome::Success();
}

void AppendTextType(std::string& out, std::string_view subtype, std::string_view body)
{
    AppendLine(out, std::string("Content-Type: text/")
                        .append(subtype)
                        .append("; charset=\"")
                        .append(CharsetOf(body))
                        .append("\""));
    AppendLine(out, "Content-Transfer-Encoding: base64");
}

void AppendTextPart(std::string& out, std::string_view subtype, std::string_view body)
{
    AppendTextType(out, subtype, body);
    out.append(kCrLf);
    AppendBase64Body(out, body);
}

// An HTML page as a multipart/alternative: its text first, the page last
// (the part a reader prefers, RFC 2046 5.1.4).
void AppendAlternative(std::string& out, std::string_view html)
{
    AppendLine(out, std::string("Content-Type: multipart/alternative; boundary=\"")
                        .append(kAlternativeBoundary)
                        .append("\""));
    out.append(kCrLf);
    AppendLine(out, std::string("--").append(kAlternativeBoundary));
    AppendTextPart(out, "plain", HtmlToText(html));
    AppendLine(out, std::string("--").append(kAlternativeBoundary));
    AppendTextPart(out, "html", html);
    AppendLine(out, std::string("--").append(kAlternativeBoundary).append("--"));
}

std::string LowerAscii(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The character an entity (without "&" and ";") stands for; empty when it
// is none this page writes. Only ASCII: the page's other bytes are in its
// own charset.
std::string_view EntityText(std::string_view entity)
{
    static constexpr std::pair<std::string_view, std::string_view> kEntities[] = {
        {"amp", "&"},  {"lt", "<"},  {"gt", ">"},   {"quot", "\""},
        {"apos", "'"}, {"#39", "'"}, {"nbsp", " "}, {"#160", " "}};
    for (const auto& [name, text] : kEntities)
        if (entity == name)
            return text;
    return {};
}

} // namespace

bool IsUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t more = 0;
        std::uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1, code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2, code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3, code = lead & 0x07;
        } else {
            return false;
        }
        if (i + more >= text.size())
            return false;
        for (std::size_t k = 1; k <= more; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((more == 2 && code < 0x800) || (more == 3 && code < 0x10000) || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

std::string LocalHostName()
{
    char buffer[256] = {};
    std::string host;
    if (gethostname(buffer, sizeof buffer - 1) == 0)
        for (const char* c = buffer; *c != '\0'; ++c)
            if (std::isalnum(static_cast<unsigned char>(*c)) || *c == '-' || *c == '.')
                host.push_back(*c);
    return host.empty() ? "localhost" : host;
}

std::string NewMessageId(std::string_view host)
{
    static std::atomic<unsigned> count{0};
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char left[80];
    std::snprintf(left, sizeof left, "%016llx.%ld.%u", static_cast<unsigned long long>(random()),
                  static_cast<long>(getpid()), count.fetch_add(1));
    return std::string("<").append(left).append("@").append(host).append(">");
}

std::string HtmlToText(std::string_view html)
{
    // Pass one: the text as a browser lays it out, "\n" where a line ends.
    std::string text;
    bool blank = true; // a blank is due before the next word
    const auto lineEnd = [&] {
        text.push_back('\n');
        blank = false;
    };
    for (std::size_t i = 0; i < html.size();) {
        const char c = html[i];
        if (c == '<') {
            // A tag (or comment, doctype): up to its ">" outside quotes.
            std::size_t end = i + 1;
            for (char quote = 0; end < html.size(); ++end) {
                if (quote != 0 && html[end] == quote)
                    quote = 0;
                else if (quote == 0 && (html[end] == '"' || html[end] == '\''))
                    quote = html[end];
                else if (quote == 0 && html[end] == '>')
                    break;
            }
            std::string_view tag = html.substr(i + 1, end - i - 1);
            const bool closing = !tag.empty() && tag.front() == '/';
            if (closing)
                tag.remove_prefix(1);
            const std::string name =
                LowerAscii(tag.substr(0, std::min(tag.find_first_of(" \t\r\n/"), tag.size())));
            i = std::min(end + 1, html.size()); // a tag left open ends the text
            if (!closing && (name == "head" || name == "style" || name == "script")) {
                const std::size_t close = LowerAscii(html.substr(i)).find("</" + name);
                i = close == std::string::npos ? html.size() : i + close;
                continue;
            }
            if (name == "br" || name == "tr" || name == "div" || name == "p" || name == "li" ||
                name == "table" ||
                (name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6'))
                lineEnd();
            else if (closing && name == "th")
                text.append(": "), blank = false;
            else if (closing && name == "td")
                blank = true;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            blank = true;
            ++i;
            continue;
        }
        if (blank && !text.empty() && text.back() != '\n' && text.back() != ' ')
            text.push_back(' ');
        blank = false;
        if (c == '&') {
            const std::size_t semi = html.find(';', i);
            if (semi != std::string_view::npos && semi - i <= 8) {
                const std::string_view decoded =
                    EntityText(LowerAscii(html.substr(i + 1, semi - i - 1)));
                if (!decoded.empty()) {
                    text.append(decoded);
                    i = semi + 1;
                    continue;
                }
            }
        }
        text.push_back(c);
        ++i;
    }
    // Pass two: lines trimmed, empty ones left out, CR LF ends.
    std::string out;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = Trim(std::string_view(text).substr(at, end - at));
        if (!line.empty())
            out.append(line).append(kCrLf);
        at = end + 1;
    }
    return out;
}

Mailbox SplitMailbox(std::string_view mailbox)
{
    auto open = mailbox.find('<');
    if (open == std::string_view::npos || open == 0)
        return {std::string(mailbox), std::string(mailbox)};
    Mailbox result;
    result.name = std::string(Trim(mailbox.substr(0, open)));
    auto start = mailbox.rfind('<') + 1;
    auto close = mailbox.find('>', start);
    if (close != std::string_view::npos)
        result.address = std::string(mailbox.substr(start, close - start));
    return result;
}

std::string DomainOf(std::string_view address)
{
    auto at = address.find('@');
    return std::string(at == std::string_view::npos ? address : address.substr(at + 1));
}

std::vector<std::string> SplitList(std::string_view list, char separator)
{
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= list.size()) {
        auto end = list.find(separator, start);
        if (end == std::string_view::npos)
            end = list.size();
        if (end > start)
            pieces.emplace_back(list.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::string Base64Encode(std::string_view bytes)
{
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.resize((bytes.size() + 2) / 3 * 4);
    auto in = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    std::size_t o = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        out[o++] = alphabet[(v >> 18) & 63];
        out[o++] = alphabet[(v >> 12) & 63];
        out[o++] = alphabet[(v >> 6) & 63];
        out[o++] = alphabet[v & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = in[i] << 16;
        if (rest == 2)
            v |= in[i + 1] << 8;
        out[o++] = alphabet[(v >> 18) & 63];
        out[o++] = alphabet[(v >> 12) & 63];
        out[o++] = rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out[o++] = '=';
    }
    return out;
}

std::string_view CharsetOf(std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
        if (byte(i) < 0x80)
            continue;
        if (i + 1 >= text.size() || byte(i) < 0xA1 || byte(i) > 0xFE || byte(i + 1) < 0xA1 ||
            byte(i + 1) > 0xFE)
            return "CP949";
        ++i;
    }
    return "EUC-KR";
}

std::string EncodeHeaderWord(std::string_view text)
{
    std::string word("=?");
    return word.append(CharsetOf(text)).append("?B?").append(Base64Encode(text)).append("?=");
}

std::string CanonicalLineEnds(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\r') {
            out.append(kCrLf);
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string SplitLines(std::string_view text, std::size_t width)
{
    std::string out;
    if (width == 0)
        return out;
    out.reserve(text.size() + (text.size() / width + 1) * kCrLf.size());
    for (std::size_t start = 0; start < text.size(); start += width) {
        out.append(text.substr(start, width));
        out.append(kCrLf);
    }
    return out;
}

Outcome EncodeAttachment(const std::string& path, std::string& encoded)
{
    std::string lines;
    Outcome read = AppendEncodedFile(path, lines);
    if (read.ok())
        encoded = std::move(lines);
    return read;
}

std::string AttachmentFileName(std::string_view path)
{
    auto slash = path.find_last_of("/\\");
    std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
    // The name stands inside a quoted header parameter: a line break or a
    // quote in it could end the header (or the message) early.
    for (char& c : name)
        if (c == '\r' || c == '\n' || c == '"')
            c = '_';
    return name;
}

std::string FormatDateText(const ZonedTime& time)
{
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* day = time.weekday >= 0 && time.weekday < 7 ? days[time.weekday] : "Sun";
    const char* month = time.month >= 1 && time.month <= 12 ? months[time.month - 1] : "Jan";
    long offsetMinutes = std::labs(time.utcOffsetSeconds) / 60;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", day,
                  time.day, month, time.year, time.hour, time.minute, time.second,
                  time.utcOffsetSeconds < 0 ? '-' : '+', offsetMinutes / 60, offsetMinutes % 60);
    return buffer;
}

std::string DotStuff(std::string_view body)
{
    std::string out;
    out.reserve(body.size() + 16);
    bool lineStart = true;
    for (char c : body) {
        if (lineStart && c == '.')
            out.push_back('.');
        out.push_back(c);
        lineStart = c == '\n';
    }
    return out;
}

Outcome BuildMessage(const MessageInput& input, std::string& message)
{
    Mailbox sender = SplitMailbox(input.from);
    Mailbox recipient = SplitMailbox(input.recipient);
    std::vector<std::string> paths = SplitList(input.attachments, ';');

    std::string out;
    AppendLine(out, "FROM: " + EncodeHeaderWord(sender.name) + "<" + sender.address + ">");
    AppendLine(out, "TO: " + EncodeHeaderWord(recipient.name) + "<" + recipient.address + ">");
    AppendLine(out, "DATE: " + FormatDateText(input.date));
    AppendLine(out, "Message-ID: " + (input.messageId.empty() ? NewMessageId(LocalHostName())
                                                              : std::string(input.messageId)));
    AppendLine(out, "SUBJECT: " + EncodeHeaderWord(input.subject));

    const bool plainText = input.bodyType == "TEXT";
    if (input.attachments.empty() && plainText) {
        // A bare LF is refused by servers that guard against SMTP smuggling,
        // and 8-bit bytes need a label and, without 8BITMIME, an encoding.
        const std::string text = CanonicalLineEnds(input.body);
        if (IsAscii(text)) {
            out.append(kCrLf);
            AppendLine(out, DotStuff(text));
        } else {
            AppendLine(out, "Mime-Version: 1.0");
            AppendTextType(out, "plain", text);
            out.append(kCrLf);
            AppendBase64Body(out, text);
        }
    } else if (input.attachments.empty()) {
        AppendLine(out, "Mime-Version: 1.0");
        AppendAlternative(out, input.body);
    } else {
        AppendLine(out, "Mime-Version: 1.0");
        AppendLine(out, "Content-Type: multipart/mixed; boundary=\"NextMimePart\"");
        out.append(kCrLf);
        AppendLine(out, "This is a multi-part message in MIME format.");
        out.append(kCrLf);
        AppendLine(out, std::string("--").append(kBoundary));
        if (plainText)
            AppendTextPart(out, "plain", CanonicalLineEnds(input.body));
        else
            AppendAlternative(out, input.body);
        for (const auto& path : paths) {
            if (Outcome added = AppendAttachmentPart(out, path); !added.ok())
                return added;
        }
        // RFC 2046 5.1.1: without the close-delimiter the last part is not
        // properly terminated and strict readers may drop it.
        AppendLine(out, std::string("--").append(kBoundary).append("--"));
    }
    out.append("\r\n.\r\n");
    message = std::move(out);
    return Outcome::Success();
}

std::string BuildMessage(const MessageInput& input)
{
    std::string message;
    if (Outcome built = BuildMessage(input, message); !built.ok())
        throw std::runtime_error(built.detail);
    return message;
}

} // namespace sendwick
