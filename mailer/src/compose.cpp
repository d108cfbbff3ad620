#include "compose.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace sendwick {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kBoundary = "NextMimePart";
constexpr std::size_t kLineWidth = 76;

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

void AppendBase64Body(std::string& out, std::string_view body)
{
    out.append(SplitLines(Base64Encode(body), kLineWidth));
    out.append(kCrLf);
    out.append(kCrLf);
}

void AppendAttachmentPart(std::string& out, const std::string& path)
{
    std::string name = AttachmentFileName(path);
    AppendLine(out, std::string("--").append(kBoundary));
    AppendLine(out, "Content-Type: application/octet-stream; name=\"" + name + "\"");
    AppendLine(out, "Content-Transfer-Encoding: base64");
    AppendLine(out, "Content-Disposition: attachment; filename=\"" + name + "\"");
    out.append(kCrLf);
    out.append(EncodeAttachment(path));
    out.append(kCrLf);
}

} // namespace

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

std::string EncodeHeaderWord(std::string_view text)
{
    return "=?EUC-KR?B?" + Base64Encode(text) + "?=";
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

std::string EncodeAttachment(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return {};
    std::string encoded;
    std::string chunk(kAttachmentChunk, '\0');
    for (;;) {
        file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        auto got = static_cast<std::size_t>(file.gcount());
        if (file.bad())
            return {};
        encoded.append(Base64Encode(std::string_view(chunk.data(), got)));
        if (got < kAttachmentChunk)
            break;
    }
    return SplitLines(encoded, kLineWidth);
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

std::string BuildMessage(const MessageInput& input)
{
    Mailbox sender = SplitMailbox(input.from);
    Mailbox recipient = SplitMailbox(input.recipient);
    std::vector<std::string> paths = SplitList(input.attachments, ';');

    std::string out;
    AppendLine(out, "FROM: " + EncodeHeaderWord(sender.name) + "<" + sender.address + ">");
    AppendLine(out, "TO: " + EncodeHeaderWord(recipient.name) + "<" + recipient.address + ">");
    AppendLine(out, "DATE: " + FormatDateText(input.date));
    AppendLine(out, "SUBJECT: " + EncodeHeaderWord(input.subject));

    if (input.attachments.empty() && input.bodyType == "TEXT") {
        out.append(kCrLf);
        AppendLine(out, DotStuff(input.body));
    } else if (input.attachments.empty()) {
        AppendLine(out, "Mime-Version: 1.0");
        AppendLine(out, "Content-Type: text/html; charset=\"EUC-KR\"");
        AppendLine(out, "Content-Transfer-Encoding: base64");
        out.append(kCrLf);
        AppendBase64Body(out, input.body);
    } else {
        AppendLine(out, "Mime-Version: 1.0");
        AppendLine(out, "Content-Type: multipart/mixed; boundary=\"NextMimePart\"");
        out.append(kCrLf);
        AppendLine(out, "This is a multi-part message in MIME format.");
        out.append(kCrLf);
        AppendLine(out, std::string("--").append(kBoundary));
        AppendLine(out, "Content-Type: text/html; charset=\"EUC-KR\"");
        AppendLine(out, "Content-Transfer-Encoding: base64");
        out.append(kCrLf);
        AppendBase64Body(out, input.body);
        for (const auto& path : paths)
            AppendAttachmentPart(out, path);
        // RFC 2046 5.1.1: without the close-delimiter the last part is not
        // properly terminated and strict readers may drop it.
        AppendLine(out, std::string("--").append(kBoundary).append("--"));
    }
    out.append("\r\n.\r\n");
    return out;
}

} // namespace sendwick
