#include "compose.h"
#include "support/temp_dir.h"
#include "test_clock.h"

#include <gtest/gtest.h>

namespace sendwick {
namespace {

using veltrane::test::TempDir;
using veltrane::test::WriteBytes;

TEST(SplitMailbox, SeparatesNameAndAddress)
{
    struct Case
    {
        const char* mailbox;
        const char* name;
        const char* address;
    };
    const Case cases[] = {
        {"  Backup Robot  <robot@example.com>", "Backup Robot", "robot@example.com"},
        {"robot@example.com", "robot@example.com", "robot@example.com"},
        // Starting with "<": used whole, brackets included.
        {"<robot@example.com>", "<robot@example.com>", "<robot@example.com>"},
        // No closing ">": no address.
        {"Robot <robot@example.com", "Robot", ""},
        // The address comes from the last "<".
        {"A <b> <c@example.com>", "A", "c@example.com"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        Mailbox m = SplitMailbox(c.mailbox);
        EXPECT_EQ(m.name, c.name) << c.mailbox;
        EXPECT_EQ(m.address, c.address) << c.mailbox;
    }
}

TEST(DomainOf, TakesTextAfterFirstAt)
{
    EXPECT_EQ(DomainOf("robot@example.com"), "example.com");
    EXPECT_EQ(DomainOf("a@b@c"), "b@c");
    EXPECT_EQ(DomainOf("localhost"), "localhost");
}

TEST(SplitList, DropsEmptyPiecesAndKeepsBlanks)
{
    EXPECT_EQ(SplitList(";a@x;;  b@y ;", ';'), (std::vector<std::string>{"a@x", "  b@y "}));
    EXPECT_TRUE(SplitList("", ';').empty());
    EXPECT_TRUE(SplitList(";;;", ';').empty());
}

// RFC 4648 section 10 test vectors.
TEST(Base64Encode, MatchesRfc4648Vectors)
{
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (auto [in, out] : vectors)
        EXPECT_EQ(Base64Encode(in), out) << in;
    EXPECT_EQ(Base64Encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(EncodeHeaderWord, EncodesEveryByteUnfolded)
{
    EXPECT_EQ(EncodeHeaderWord(""), "=?EUC-KR?B?"
                                    "?=");
    EXPECT_EQ(EncodeHeaderWord("Hi"), "=?EUC-KR?B?SGk=?=");
    // "백업" in code page 949 travels as its own bytes.
    EXPECT_EQ(EncodeHeaderWord("\xB9\xE9\xBE\xF7"), "=?EUC-KR?B?uem+9w==?=");
    // "똠" lies outside EUC-KR: the label says so.
    EXPECT_EQ(EncodeHeaderWord("\x8C\x63"), "=?CP949?B?jGM=?=");
    std::string longWord = EncodeHeaderWord(std::string(300, 'x'));
    EXPECT_EQ(longWord.find('\n'), std::string::npos);
}

TEST(SplitLines, CutsIntoWidthPiecesWithCrLf)
{
    EXPECT_EQ(SplitLines("", 76), "");
    EXPECT_EQ(SplitLines("abcdefg", 3), "abc\r\ndef\r\ng\r\n");
    EXPECT_EQ(SplitLines("abcdef", 3), "abc\r\ndef\r\n");
}

TEST(AttachmentFileName, TakesTextAfterLastSlashOfEitherKind)
{
    EXPECT_EQ(AttachmentFileName("C:\\backup\\ORCL\\a.rar"), "a.rar");
    EXPECT_EQ(AttachmentFileName("/var/backup/ORCL/a.rar"), "a.rar");
    EXPECT_EQ(AttachmentFileName("dir\\sub/b.log"), "b.log");
    EXPECT_EQ(AttachmentFileName("plain.txt"), "plain.txt");
    // Nothing in a file name can break out of its quoted header parameter.
    EXPECT_EQ(AttachmentFileName("/b/a\r\n.\r\n\"x\".log"), "a__.___x_.log");
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "text does not end in CR LF";
        if (end == std::string::npos)
            break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

TEST(EncodeAttachment, SizedAtChunkBoundaryGivesOneBase64Text)
{
    TempDir dir;
    std::string bytes;
    for (std::size_t i = 0; i < kAttachmentChunk; ++i)
        bytes.push_back(static_cast<char>(i * 7 + 3));
    WriteBytes(dir.File("full.bin"), bytes);

    std::string encoded;
    ASSERT_TRUE(EncodeAttachment(dir.File("full.bin"), encoded).ok());
    std::vector<std::string> lines = Lines(encoded);
    const std::size_t base64 = kAttachmentChunk / 3 * 4;
    ASSERT_EQ(lines.size(), (base64 + 75) / 76);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        ASSERT_EQ(lines[i].size(), 76u) << "line " << i;
    EXPECT_EQ(lines.back().size(), base64 - 76 * (lines.size() - 1));
    std::string joined;
    for (const auto& l : lines)
        joined += l;
    EXPECT_EQ(joined, Base64Encode(bytes));
}

TEST(EncodeAttachment, JoinsChunksWithoutInnerPadding)
{
    TempDir dir;
    std::string bytes(kAttachmentChunk * 2 + 1, 'q');
    WriteBytes(dir.File("long.bin"), bytes);
    std::string encoded;
    ASSERT_TRUE(EncodeAttachment(dir.File("long.bin"), encoded).ok());
    std::string joined;
    for (const auto& l : Lines(encoded))
        joined += l;
    EXPECT_EQ(joined, Base64Encode(bytes));
    EXPECT_EQ(joined.find('='), joined.size() - 2);
}

TEST(EncodeAttachment, EqualsTheWholeFileInBase64Lines)
{
    // Around a line's 57 bytes, the padding and the chunk's end.
    const std::size_t sizes[] = {1,
                                 2,
                                 3,
                                 4,
                                 56,
                                 57,
                                 58,
                                 113,
                                 114,
                                 115,
                                 kAttachmentChunk - 1,
                                 kAttachmentChunk + 1,
                                 kAttachmentChunk + 57 * 3 + 2};
    TempDir dir;
    for (std::size_t size : sizes) {
        std::string bytes;
        for (std::size_t i = 0; i < size; ++i)
            bytes.push_back(static_cast<char>(i * 131 + i / 7));
        WriteBytes(dir.File("a.bin"), bytes);
        std::string encoded = "left over";
        ASSERT_TRUE(EncodeAttachment(dir.File("a.bin"), encoded).ok()) << size;
        EXPECT_EQ(encoded, SplitLines(Base64Encode(bytes), 76)) << size;
    }
}

TEST(EncodeAttachment, UnreadableFileFailsWithTheReason)
{
    TempDir dir;
    std::string encoded;
    EXPECT_EQ(EncodeAttachment(dir.path(), encoded).detail, // opens, but cannot be read
              "attachment " + dir.path() + " cannot be read: Is a directory");
    WriteBytes(dir.File("empty.bin"), "");
    EXPECT_TRUE(EncodeAttachment(dir.File("empty.bin"), encoded).ok());
    EXPECT_EQ(encoded, "");
}

TEST(FormatDateText, UsesEnglishNamesAndNumericZone)
{
    ZonedTime t{2026, 12, 7, 9, 15, 2, 1, 9 * 3600};
    EXPECT_EQ(FormatDateText(t), "Mon, 07 Dec 2026 09:15:02 +0900");
    t = {2027, 1, 3, 23, 0, 59, 0, -(3 * 3600 + 30 * 60)};
    EXPECT_EQ(FormatDateText(t), "Sun, 03 Jan 2027 23:00:59 -0330");
    t.utcOffsetSeconds = 0;
    EXPECT_EQ(FormatDateText(t), "Sun, 03 Jan 2027 23:00:59 +0000");
}

TEST(DotStuff, DoublesDotsThatStartLines)
{
    EXPECT_EQ(DotStuff(".a\r\nb\r\n.\r\nc.d\n.e"), "..a\r\nb\r\n..\r\nc.d\n..e");
    EXPECT_EQ(DotStuff("no dots"), "no dots");
}

const test::FixedClock kClock;

std::string Header(const char* to = "Ops <ops@example.org>")
{
    return std::string("FROM: =?EUC-KR?B?Um9ib3Q=?=<robot@example.com>\r\n") +
           "TO: " + EncodeHeaderWord(SplitMailbox(to).name) + "<" + SplitMailbox(to).address +
           ">\r\n" + "DATE: Mon, 07 Dec 2026 09:15:02 +0900\r\n" + "Message-ID: <1@test>\r\n" +
           "SUBJECT: =?EUC-KR?B?UmVwb3J0?=\r\n";
}

MessageInput Input(std::string_view bodyType, std::string_view body, std::string_view attachments)
{
    return {"Robot <robot@example.com>",
            "Ops <ops@example.org>",
            bodyType,
            "Report",
            body,
            attachments,
            kClock.Now(),
            "<1@test>"};
}

TEST(BuildMessage, PlainTextVariantHasNoMimeHeaderAndStuffsDots)
{
    std::string message = BuildMessage(Input("TEXT", "line one\r\n.hidden", ""));
    EXPECT_EQ(message, Header() + "\r\nline one\r\n..hidden\r\n\r\n.\r\n");
    // Bare line ends become CR LF; 8-bit text is labelled and in Base64.
    EXPECT_EQ(BuildMessage(Input("TEXT", "a\nb\r.c", "")),
              Header() + "\r\na\r\nb\r\n..c\r\n\r\n.\r\n");
    EXPECT_EQ(BuildMessage(Input("TEXT", "\x8C\x63\n", "")),
              Header() +
                  "Mime-Version: 1.0\r\nContent-Type: text/plain; charset=\"CP949\"\r\n"
                  "Content-Transfer-Encoding: base64\r\n\r\n" +
                  Base64Encode("\x8C\x63\r\n") + "\r\n\r\n\r\n\r\n.\r\n");
}

TEST(BuildMessage, BareAddressGivesEncodedAddressAsName)
{
    MessageInput input = Input("TEXT", "x", "");
    input.from = "robot@example.com";
    std::string message = BuildMessage(input);
    EXPECT_EQ(message.substr(0, message.find("\r\n")),
              "FROM: " + EncodeHeaderWord("robot@example.com") + "<robot@example.com>");
}

TEST(BuildMessage, HtmlGoesWithItsTextAsAlternatives)
{
    // "text" differs from "TEXT" only in case: still HTML.
    const std::string html = "<p>a</p>";
    const std::string alternative = "Content-Type: multipart/alternative; "
                                    "boundary=\"AltMimePart\"\r\n\r\n"
                                    "--AltMimePart\r\n"
                                    "Content-Type: text/plain; charset=\"EUC-KR\"\r\n"
                                    "Content-Transfer-Encoding: base64\r\n\r\n" +
                                    Base64Encode("a\r\n") +
                                    "\r\n\r\n\r\n"
                                    "--AltMimePart\r\n"
                                    "Content-Type: text/html; charset=\"EUC-KR\"\r\n"
                                    "Content-Transfer-Encoding: base64\r\n\r\n" +
                                    Base64Encode(html) + "\r\n\r\n\r\n--AltMimePart--\r\n";
    for (const char* type : {"HTML", "text", ""}) {
        EXPECT_EQ(BuildMessage(Input(type, html, "")),
                  Header() + "Mime-Version: 1.0\r\n" + alternative + "\r\n.\r\n")
            << type;
    }
    // With an attachment the alternatives are the mixed message's first part.
    TempDir dir;
    WriteBytes(dir.File("a.bin"), "abc");
    EXPECT_NE(BuildMessage(Input("HTML", html, dir.File("a.bin")))
                  .find("--NextMimePart\r\n" + alternative + "--NextMimePart\r\n"),
              std::string::npos);
}

TEST(HtmlToText, KeepsWhatAReaderSees)
{
    const std::pair<std::string, std::string> cases[] = {
        {"<html><head><title>T</title><style>p{}</style></head><body>x</body></html>", "x\r\n"},
        {"<tr><th a=\"x>y\">서비스</th><td>ORCL</td></tr>\r\n<tr><th>B</th><td>c</td></tr>",
         "서비스: ORCL\r\nB: c\r\n"},
        {"<div>  a \r\n  b&amp;&lt;c&gt;&quot;&nbsp;&bogus;</div><div>/u01<wbr>/x</div>",
         "a b&<c>\" &bogus;\r\n/u01/x\r\n"},
        {"<script>alert(1)</script>a<br>b<BR/>c", "a\r\nb\r\nc\r\n"},
        {"a<style", "a\r\n"}, // a tag left open ends the text
    };
    for (const auto& [html, text] : cases)
        EXPECT_EQ(HtmlToText(html), text) << html;
}

TEST(BuildMessage, NonAsciiAttachmentNameIsLabelledByItsBytes)
{
    TempDir dir;
    // UTF-8 (a path) as UTF-8; code page 949 bytes by their own label. A long
    // name goes in pieces that never split a %XX.
    const std::string utf8 = "홍길동_ORCL_" + std::string(30, 'x') + "한.log";
    WriteBytes(dir.File(utf8), "a");
    WriteBytes(dir.File("\xB0\xA1.log"), "a");
    const std::string both = dir.File(utf8) + ";" + dir.File("\xB0\xA1.log");
    const std::string message = BuildMessage(Input("HTML", "x", both));
    EXPECT_NE(message.find("name=\"____ORCL_" + std::string(30, 'x') +
                           "_.log\"\r\nContent-Transfer-Encoding: base64\r\n"
                           "Content-Disposition: attachment;\r\n filename*0*=UTF-8''"
                           "%ED%99%8D%EA%B8%B8%EB%8F%99_ORCL_" +
                           std::string(20, 'x') + ";\r\n filename*1*=" + std::string(10, 'x') +
                           "%ED%95%9C.log\r\n"),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("name=\"_.log\"\r\nContent-Transfer-Encoding: base64\r\n"
                           "Content-Disposition: attachment;\r\n filename*0*=EUC-KR''%B0%A1.log"),
              std::string::npos);
}

TEST(BuildMessage, SeparatorOnlyAttachmentListGivesBodyPartAlone)
{
    std::string message = BuildMessage(Input("HTML", "hi", ";"));
    EXPECT_NE(message.find("multipart/mixed"), std::string::npos);
    EXPECT_EQ(message.find("application/octet-stream"), std::string::npos);
    std::string tail =
        Base64Encode("hi") + "\r\n\r\n\r\n--AltMimePart--\r\n--NextMimePart--\r\n\r\n.\r\n";
    EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
}

} // namespace
} // namespace sendwick
