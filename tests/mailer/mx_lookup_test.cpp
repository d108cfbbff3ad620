#include "mx_lookup.h"

#include <gtest/gtest.h>
#include <set>
#include <vector>

namespace sendwick {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Append(Bytes& b, std::initializer_list<int> values)
{
    for (int v : values)
        b.push_back(static_cast<std::uint8_t>(v));
}

void AppendName(Bytes& b, const std::vector<std::string>& labels)
{
    for (const auto& l : labels) {
        b.push_back(static_cast<std::uint8_t>(l.size()));
        b.insert(b.end(), l.begin(), l.end());
    }
    b.push_back(0);
}

// Answer to "example.org MX": a CNAME-free answer with two MX records in the
// order given; the second exchanger's name is compressed against the first.
Bytes TwoMxAnswer()
{
    Bytes b;
    Append(b, {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 2, 0, 0, 0, 0});
    AppendName(b, {"example", "org"}); // offset 12
    Append(b, {0, 15, 0, 1});
    // Record 1: name -> pointer to 12, MX IN, TTL, rdata: pref 20, "mx2.example.org"
    Append(b, {0xC0, 12, 0, 15, 0, 1, 0, 0, 0, 60, 0, 8, 0, 20, 3, 'm', 'x', '2', 0xC0, 12});
    // Record 2: pref 10 "mx1.example.org"
    Append(b, {0xC0, 12, 0, 15, 0, 1, 0, 0, 0, 60, 0, 8, 0, 10, 3, 'm', 'x', '1', 0xC0, 12});
    return b;
}

// RFC 5321 5.1: by preference (whatever the answer's order), equal ones
// either way round, the domain itself without MX; RFC 7505: no mail at all.
TEST(MailHostsOf, OrdersByPreferenceFallsBackToTheDomainAndHonoursNullMx)
{
    Bytes b = TwoMxAnswer();
    std::mt19937 random(7);
    EXPECT_EQ(MailHostsOf("d", *ParseMxRecords(b.data(), b.size()), random).hosts,
              (std::vector<std::string>{"mx1.example.org", "mx2.example.org"}));
    EXPECT_EQ(MailHostsOf("d", {}, random).hosts, std::vector<std::string>{"d"});
    EXPECT_EQ(MailHostsOf("d", {{10, "mx.d"}, {0, ""}}, random).failure,
              "d takes no mail (null MX)");
    std::set<std::vector<std::string>> seen;
    for (int i = 0; i < 40; ++i)
        seen.insert(MailHostsOf("d", {{20, "c"}, {10, "a"}, {10, "b"}}, random).hosts);
    EXPECT_EQ(seen, (std::set<std::vector<std::string>>{{"a", "b", "c"}, {"b", "a", "c"}}));
}

TEST(ParseMxRecords, EveryTruncatedPrefixIsRejectedSafely)
{
    Bytes full = TwoMxAnswer();
    for (std::size_t size = 0; size < full.size(); ++size) {
        Bytes prefix(full.begin(), full.begin() + static_cast<long>(size));
        EXPECT_EQ(ParseMxRecords(prefix.data(), prefix.size()), std::nullopt) << size;
    }
}

TEST(ParseFirstMxExchanger, RejectsHostileAnswers)
{
    Bytes loop = TwoMxAnswer();
    loop[12 + 13 + 4 + 19] = static_cast<std::uint8_t>(12 + 13 + 4 + 18); // points at itself
    EXPECT_EQ(ParseFirstMxExchanger(loop.data(), loop.size()), std::nullopt);

    Bytes forward = TwoMxAnswer();
    forward[12 + 13 + 4 + 19] = 200; // forward pointer past the end
    EXPECT_EQ(ParseFirstMxExchanger(forward.data(), forward.size()), std::nullopt);

    Bytes error = TwoMxAnswer();
    error[3] = 0x83; // NXDOMAIN
    EXPECT_EQ(ParseFirstMxExchanger(error.data(), error.size()), std::nullopt);

    Bytes lineBreak = TwoMxAnswer();
    lineBreak[12 + 13 + 4 + 15] = '\n'; // a control byte in the exchanger label
    EXPECT_EQ(ParseFirstMxExchanger(lineBreak.data(), lineBreak.size()), std::nullopt);

    Bytes shortRdata = TwoMxAnswer();
    shortRdata[12 + 13 + 4 + 11] = 3; // rdata length too short for the name
    EXPECT_EQ(ParseFirstMxExchanger(shortRdata.data(), shortRdata.size()), std::nullopt);
}

TEST(ParseFirstMxExchanger, SkipsOtherRecordTypesAndRejectsNullMx)
{
    Bytes b;
    Append(b, {0, 1, 0x81, 0x80, 0, 1, 0, 2, 0, 0, 0, 0});
    AppendName(b, {"example", "org"});
    Append(b, {0, 15, 0, 1});
    // A CNAME first, then the MX.
    Append(b, {0xC0, 12, 0, 5, 0, 1, 0, 0, 0, 60, 0, 2, 0xC0, 12});
    Append(b, {0xC0, 12, 0, 15, 0, 1, 0, 0, 0, 60, 0, 8, 0, 10, 4, 'm', 'a', 'i', 'l', 0});
    EXPECT_EQ(ParseFirstMxExchanger(b.data(), b.size()), "mail");

    Bytes nullMx;
    Append(nullMx, {0, 1, 0x81, 0x80, 0, 0, 0, 1, 0, 0, 0, 0});
    Append(nullMx, {0, 0, 15, 0, 1, 0, 0, 0, 60, 0, 3, 0, 0, 0});
    EXPECT_EQ(ParseFirstMxExchanger(nullMx.data(), nullMx.size()), std::nullopt);
}

} // namespace
} // namespace sendwick
