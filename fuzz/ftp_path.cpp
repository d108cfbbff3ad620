// The FTP library's URLs: for any server text it accepts and any remote path
// (without the line breaks and NUL it refuses), the URL it builds parses back
// to the same host, port and path.

#include "fuzz_check.h"
#include "remote_path.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <curl/curl.h>
#include <string>
#include <strings.h>

using namespace hoistline;

namespace {

std::string Part(CURLU* url, CURLUPart part, unsigned flags = 0)
{
    char* value = nullptr;
    if (curl_url_get(url, part, &value, flags) != CURLUE_OK)
        return {};
    std::string text(value);
    curl_free(value);
    return text;
}

// Percent-decoding as the transfer itself does it (the URL interface will not
// hand out control bytes decoded, though the transfer passes them on).
std::string Decoded(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(text[i + 1]) &&
            std::isxdigit(text[i + 2])) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The same host: names alike in any letter case, addresses alike as
// addresses (the URL layer writes them in their usual form: "1" is 0.0.0.1,
// "[::0]" is "[::]").
bool SameHost(std::string_view a, std::string_view b)
{
    in_addr v4a{}, v4b{};
    if (inet_aton(std::string(a).c_str(), &v4a) != 0 &&
        inet_aton(std::string(b).c_str(), &v4b) != 0)
        return v4a.s_addr == v4b.s_addr;
    if (a.starts_with('[') && b.starts_with('[')) {
        in6_addr x{}, y{};
        return inet_pton(AF_INET6, std::string(a.substr(1, a.size() - 2)).c_str(), &x) == 1 &&
               inet_pton(AF_INET6, std::string(b.substr(1, b.size() - 2)).c_str(), &y) == 1 &&
               std::memcmp(&x, &y, sizeof x) == 0;
    }
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // "server|port|path", the port from its first byte's value.
    std::string_view text = FuzzText(data, size);
    const std::size_t bar = text.find('|');
    if (bar == std::string_view::npos || bar + 1 >= text.size())
        return 0;
    const std::string_view server = text.substr(0, bar);
    const int port = 1 + static_cast<unsigned char>(text[bar + 1]) * 200;
    const std::string_view path = text.substr(bar + 2);
    if (path.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return 0;
    const auto name = ParseServer(server);
    const auto url = FileUrl(server, port, path);
    FUZZ_CHECK(name.has_value() == url.has_value());
    if (!url)
        return 0;

    CURLU* parsed = curl_url();
    FUZZ_CHECK(curl_url_set(parsed, CURLUPART_URL, url->c_str(), 0) == CURLUE_OK);
    FUZZ_CHECK(SameHost(Part(parsed, CURLUPART_HOST), name->host));
    FUZZ_CHECK(Part(parsed, CURLUPART_PORT) == std::to_string(port));
    const bool sftp = name->scheme == Scheme::Sftp;
    // FTP: one "/" after the host, then the path; SFTP: the path when
    // absolute, else under the login's home "/~/".
    std::string expected = !sftp ? "/" : path.starts_with('/') ? "" : "/~/";
    expected.append(path);
    FUZZ_CHECK(Decoded(Part(parsed, CURLUPART_PATH)) == expected);
    curl_url_cleanup(parsed);
    return 0;
}
