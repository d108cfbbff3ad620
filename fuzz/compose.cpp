// Mailbox splitting and message composition: whatever the sender, the
// recipient, the subject and the body hold, the message ends its data only at
// its very end, and no text adds a header line. (An address with CR or LF is
// refused by the session before any message is built, so such inputs are
// left out.)

#include "compose.h"

#include "fuzz_check.h"

#include <string>

using namespace sendwick;

namespace {

std::string_view Take(std::string_view& text)
{
    const std::size_t cut = text.find('\0');
    const std::string_view part = text.substr(0, cut);
    text.remove_prefix(cut == std::string_view::npos ? text.size() : cut + 1);
    return part;
}

bool StartsWithAny(std::string_view line, std::initializer_list<std::string_view> prefixes)
{
    for (std::string_view prefix : prefixes)
        if (line.starts_with(prefix))
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text = FuzzText(data, size);
    MessageInput input;
    input.from = Take(text);
    input.recipient = Take(text);
    input.subject = Take(text);
    input.bodyType = size % 2 == 0 ? "TEXT" : "HTML";
    input.body = text;
    input.date = ZonedTime{2026, 12, 8, 2, 0, 0, 2};
    (void)SplitMailbox(input.from);
    const std::string message = BuildMessage(input);
    const std::string fields = std::string(input.from) + std::string(input.recipient);
    if (fields.find_first_of("\r\n") != std::string::npos)
        return 0;

    // The data ends at the end, and only there, even for a lax server that
    // takes a bare LF for a line end.
    FUZZ_CHECK(message.size() >= 5 && message.substr(message.size() - 5) == "\r\n.\r\n");
    const std::string_view content(message.data(), message.size() - 3);
    FUZZ_CHECK(content.find("\n.\r\n") == std::string_view::npos);
    FUZZ_CHECK(content.find("\n.\n") == std::string_view::npos);

    const std::size_t headerEnd = message.find("\r\n\r\n");
    FUZZ_CHECK(headerEnd != std::string::npos);
    std::string_view header(message.data(), headerEnd + 2);
    while (!header.empty()) {
        const std::size_t end = header.find("\r\n");
        const std::string_view line = header.substr(0, end);
        FUZZ_CHECK(StartsWithAny(
            line, {"FROM: ", "TO: ", "DATE: ", "Message-ID: ", "SUBJECT: ", "Mime-Version: ",
                   "Content-Type: ", "Content-Transfer-Encoding: "}));
        header.remove_prefix(end + 2);
    }
    return 0;
}
