// Sessions against a scripted peer: the exact exchange, the log, and what
// happens when the peer is silent, slow, wrong or gone.
#include "compose.h"
#include "mail_log.h"
#include "reply.h"
#include "scripted_server.h"
#include "server_address.h"
#include "session.h"
#include "support/net.h"
#include "support/temp_dir.h"
#include "test_clock.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace sendwick {
namespace {

using Script = std::vector<test::ScriptedServer::Step>;
using S = test::ScriptedServer;
using veltrane::test::FileExists;
using veltrane::test::ReadBytes;
using veltrane::test::TempDir;
using Strings = std::vector<std::string>;

constexpr const char* kStamp = "[2026/12/07 09:15:02] ";
const std::string kRecipient = "Ops <ops@example.org>";
const std::string kFailed = "SEND ERROR robot@example.com --> ops@example.org : ";

class SessionTest : public ::testing::Test
{
protected:
    SessionTest()
    {
        settings.clock = &clock;
        settings.lookupExchanger = [this](const std::string& domain) {
            lookedUp.push_back(domain);
            return MailHosts{{"127.0.0.1"}, {}};
        };
        request = {"Robot <robot@example.com>", "HTML", "Report", "<p>ok</p>", "",
                   dir.File("SendResult.Log")};
    }

    // The log split into its entries, stamps removed.
    Strings LogEntries() const
    {
        Strings entries;
        if (!FileExists(request.logPath))
            return entries;
        std::string log = ReadBytes(request.logPath);
        std::string stamp = kStamp;
        EXPECT_EQ(log.rfind(stamp, 0), 0u);
        for (std::size_t pos = 0; pos < log.size();) {
            std::size_t next = log.find(stamp, pos + stamp.size());
            if (next == std::string::npos)
                next = log.size();
            entries.push_back(log.substr(pos + stamp.size(), next - pos - stamp.size()));
            pos = next;
        }
        return entries;
    }

    bool Direct(test::ScriptedServer& server, const std::string& token = kRecipient)
    {
        settings.port = server.port();
        report = {};
        return SendToRecipient(request, token, settings, &report);
    }

    bool ViaServer(test::ScriptedServer& server, const std::string& token = kRecipient)
    {
        settings.port = server.port();
        report = {};
        return SendToRecipientViaSMTP(login, request, token, settings, &report);
    }

    // The entry that closes a failed session.
    static std::string Closing(const std::string& reason) { return kFailed + reason + "\r\n"; }

    std::size_t MessageBytes() const
    {
        // The scripted peer counts the message up to, not including, ".\r\n".
        return BuildMessage({request.from, kRecipient, request.bodyType, request.subject,
                             request.body, request.attachments, clock.Now()})
                   .size() -
               3;
    }

    TempDir dir;
    test::FixedClock clock;
    SessionSettings settings;
    MailRequest request;
    ServerLogin login{"127.0.0.1", "backup", "secret"};
    Strings lookedUp;
    SendReport report;
};

// From MAIL FROM to the end, as a well-behaved server answers it.
Script EnvelopeToQuit(const char* dataReply = "354 go ahead\r\n")
{
    return {S::Expect(),        S::Send("250 2.1.0 ok\r\n"),
            S::Expect(),        S::Send("250 2.1.5 ok\r\n"),
            S::Expect(),        S::Send(dataReply),
            S::ExpectMessage(), S::Send("250 2.0.0 queued\r\n"),
            S::Expect(),        S::Send("221 2.0.0 bye\r\n")};
}

Script Join(Script a, const Script& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(SessionTest, DirectSessionSpeaksHeloAndLogsElevenEntries)
{
    test::ScriptedServer server(
        Join({S::Send("220 mx.test ESMTP\r\n"), S::Expect(), S::Send("250 mx.test\r\n")},
             EnvelopeToQuit()));
    ASSERT_TRUE(Direct(server));
    EXPECT_EQ(lookedUp, Strings{"example.org"});
    EXPECT_EQ(server.Received(),
              (Strings{"HELO example.com ", "MAIL FROM: <robot@example.com> ",
                       "RCPT TO: <ops@example.org> ", "DATA",
                       "<message " + std::to_string(MessageBytes()) + " bytes>", "QUIT"}));
    EXPECT_EQ(LogEntries(),
              (Strings{"SEND robot@example.com --> ops@example.org\r\n", "220 mx.test ESMTP\r\n",
                       ">>HELO example.com \r\n", "250 mx.test\r\n", "250 2.1.0 ok\r\n",
                       "250 2.1.5 ok\r\n", "354 go ahead\r\n", "250 2.0.0 queued\r\n", ">>QUIT\r\n",
                       "221 2.0.0 bye\r\n", "SEND OK robot@example.com --> ops@example.org\r\n"}));
}

TEST_F(SessionTest, ServerSessionGreetsWithEhloAndLogsInWithoutLoggingSecrets)
{
    test::ScriptedServer server(
        Join({S::Send("220 smtp.test\r\n"), S::Expect(),
              S::Send("250-smtp.test\r\n250 AUTH LOGIN PLAIN\r\n"), S::Expect(),
              S::Send("334 VXNlcm5hbWU6\r\n"), S::Expect(), S::Send("334 UGFzc3dvcmQ6\r\n"),
              S::Expect(), S::Send("235 2.7.0 Authentication successful\r\n")},
             EnvelopeToQuit("354\r\n")));
    ASSERT_TRUE(ViaServer(server));
    EXPECT_TRUE(lookedUp.empty());
    const Strings& received = server.Received();
    // No STARTTLS offered: the login goes in clear, with a warning.
    ASSERT_GE(received.size(), 5u);
    EXPECT_EQ(Strings(received.begin(), received.begin() + 5),
              (Strings{"EHLO example.com", "AUTH LOGIN", "YmFja3Vw", "c2VjcmV0",
                       "MAIL FROM: <robot@example.com> "}));
    Strings log = LogEntries();
    ASSERT_EQ(log.size(), 13u);
    EXPECT_EQ(log[2], "250-smtp.test\\r\\n250 AUTH LOGIN PLAIN\r\n");
    EXPECT_EQ(report.Text(), "password sent in clear to 127.0.0.1:" +
                                 std::to_string(server.port()) + " (no STARTTLS offered)");
    EXPECT_EQ(log[5], "WARNING " + report.Text() + "\r\n");
    EXPECT_EQ(log[9], "354\r\n");
    std::string all = ReadBytes(request.logPath);
    for (const char* secret : {"YmFja3Vw", "c2VjcmV0", "secret", ">>"})
        EXPECT_EQ(all.find(secret), std::string::npos) << secret;
}

TEST_F(SessionTest, ServerSessionFallsBackToHeloWhenEhloIsRefused)
{
    test::ScriptedServer server(Join(
        {S::Send("220 old.test\r\n"), S::Expect(), S::Send("502 5.5.2 command not recognized\r\n"),
         S::Expect(), S::Send("250 old.test\r\n"), S::Expect(), S::Send("334 VXNlcm5hbWU6\r\n"),
         S::Expect(), S::Send("334 UGFzc3dvcmQ6\r\n"), S::Expect(), S::Send("235 ok\r\n")},
        EnvelopeToQuit()));
    ASSERT_TRUE(ViaServer(server));
    const Strings& received = server.Received();
    ASSERT_GE(received.size(), 3u);
    EXPECT_EQ(received[0], "EHLO example.com");
    EXPECT_EQ(received[1], "HELO example.com ");
    EXPECT_EQ(received[2], "AUTH LOGIN");
}

// An attachment that cannot be read fails the session before any connection.
TEST_F(SessionTest, UnreadableAttachmentFailsBeforeConnecting)
{
    request.attachments = dir.File("missing.log");
    test::ScriptedServer server({S::Send("220 mx.test\r\n")});
    EXPECT_FALSE(Direct(server));
    EXPECT_FALSE(server.Accepted());
    EXPECT_EQ(LogEntries().back(), Closing("attachment " + request.attachments +
                                           " cannot be read: No such file or directory"));
}

TEST_F(SessionTest, EhloAnsweredWithTemporaryErrorFailsWithoutFallback)
{
    test::ScriptedServer server(
        {S::Send("220 busy.test\r\n"), S::Expect(), S::Send("421 4.3.2 shutting down\r\n")});
    EXPECT_FALSE(ViaServer(server));
    EXPECT_EQ(server.Received(), Strings{"EHLO example.com"});
}

TEST_F(SessionTest, SilentServerTimesOutAfterTheGreetingTimeOut)
{
    struct Case
    {
        bool direct;
        const char* scheme; // through a server
        int minimumMs;
        std::string reason;
    };
    settings.greetingTimeout = settings.tlsHandshakeTimeout = std::chrono::seconds(1);
    for (const Case& c : {Case{true, "", 1000, "no reply within 1 s (greeting)"},
                          Case{false, "", 1000, "no reply within 1 s (greeting)"},
                          Case{false, "smtps://", 1000, "TLS handshake failed: timed out"}}) {
        test::ScriptedServer server({});
        login.server = c.scheme + std::string("127.0.0.1:") + std::to_string(server.port());
        auto start = std::chrono::steady_clock::now();
        bool sent = c.direct ? Direct(server) : ViaServer(server);
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
        EXPECT_FALSE(sent);
        EXPECT_GE(elapsed, c.minimumMs);
        EXPECT_LT(elapsed, c.minimumMs + 3000) << "the wait must end";
        EXPECT_EQ(LogEntries().back(), Closing(c.reason));
        EXPECT_EQ(report.failure, "ops@example.org: " + c.reason);
        EXPECT_TRUE(server.Received().empty()) << "nothing, not even QUIT, after a time-out";
    }
}

// A peer that keeps every wait alive, a line at a time, is still bounded by
// the session's own limit.
TEST_F(SessionTest, SlowPeerIsCutOffAtTheSessionLimit)
{
    settings.sessionTimeout = std::chrono::seconds(1);
    Script script{S::Send("220 slow.test\r\n"), S::Expect()};
    for (int i = 0; i < 8; ++i)
        script.insert(script.end(), {S::Send("250-slow.test\r\n"), S::Wait(300)});
    test::ScriptedServer server(script);
    EXPECT_FALSE(Direct(server));
    EXPECT_EQ(LogEntries().back(), Closing("session took longer than 1 s (HELO)"));
}

TEST_F(SessionTest, MultiLineGreetingArrivingInSeparateReadsIsOneReply)
{
    test::ScriptedServer server(
        Join({S::Send("220-mx.test first line\r\n"), S::Wait(300),
              S::Send("220 mx.test second line\r\n"), S::Expect(), S::Send("250 mx.test\r\n")},
             EnvelopeToQuit()));
    ASSERT_TRUE(Direct(server));
    EXPECT_EQ(LogEntries()[1], "220-mx.test first line\\r\\n220 mx.test second line\r\n");
    EXPECT_EQ(server.Received()[0], "HELO example.com ");
}

// However its lines arrive, a multi-line reply is read whole and passes only
// when every line carries the expected code.
TEST_F(SessionTest, MultiLineReplyPassesOnlyWhenEveryLineCarriesTheCode)
{
    struct Case
    {
        Script helo, rcpt; // the replies, in the pieces the peer sends
        bool sent;
    };
    const Script ok{S::Send("250 ok\r\n")};
    const Case cases[] = {
        {{S::Send("250-mx.test\r\n"), S::Wait(100), S::Send("250-SIZE 1000\r\n250 HELP\r\n")},
         ok,
         true},
        {{S::Send("250-mx.test\r\n250-PIPE"), S::Wait(100), S::Send("LINING\r\n250\r\n")},
         ok,
         true},
        {ok, {S::Send("250-ok\r\n550 no such user\r\n")}, false},
        {ok, {S::Send("250-ok\r\n"), S::Wait(100), S::Send("550 no such user\r\n")}, false},
    };
    auto text = [](const Script& pieces) {
        std::string all;
        for (const auto& piece : pieces)
            all += piece.text;
        // As logged: the line ends inside the reply written out.
        return EscapeControls(all.substr(0, all.size() - 2)) + "\r\n";
    };
    for (const Case& c : cases) {
        std::remove(request.logPath.c_str());
        Script script = Join(Join({S::Send("220 mx.test\r\n"), S::Expect()}, c.helo),
                             {S::Expect(), S::Send("250 ok\r\n"), S::Expect()});
        Script fromData = EnvelopeToQuit();
        fromData.erase(fromData.begin(), fromData.begin() + 4);
        // A refused reply ends the script: all the client sends after it is recorded.
        test::ScriptedServer server(Join(Join(script, c.rcpt), c.sent ? fromData : Script{}));
        EXPECT_EQ(Direct(server), c.sent) << text(c.rcpt);
        Strings log = LogEntries();
        ASSERT_GE(log.size(), 6u);
        EXPECT_EQ(log[3], text(c.helo));
        EXPECT_EQ(log[5], text(c.rcpt));
        if (!c.sent) {
            EXPECT_EQ(log.size(), 7u);
            EXPECT_EQ(log.back(), Closing("550 no such user"));
            EXPECT_EQ(server.Received().back(), "RCPT TO: <ops@example.org> ")
                << "no DATA, no QUIT after the refusal";
        }
    }
}

TEST_F(SessionTest, ErrorReplyMentioningTheExpectedCodeFails)
{
    test::ScriptedServer server({S::Send("220 mx.test\r\n"), S::Expect(),
                                 S::Send("250 mx.test\r\n"), S::Expect(), S::Send("250 ok\r\n"),
                                 S::Expect(),
                                 S::Send("550 5.1.1 mailbox full after 250 messages\r\n")});
    EXPECT_FALSE(Direct(server));
    // Dropped without DATA and without QUIT.
    EXPECT_EQ(server.Received(), (Strings{"HELO example.com ", "MAIL FROM: <robot@example.com> ",
                                          "RCPT TO: <ops@example.org> "}));
    EXPECT_EQ(LogEntries().back(), Closing("550 5.1.1 mailbox full after 250 messages"));
    EXPECT_EQ(report.failure, "ops@example.org: 550 5.1.1 mailbox full after 250 messages");
}

TEST_F(SessionTest, QuitAnsweredWithoutTwoTwentyOneFails)
{
    Script script = Join({S::Send("220 mx.test\r\n"), S::Expect(), S::Send("250 mx.test\r\n")},
                         EnvelopeToQuit());
    script.back() = S::Send("250 whatever\r\n");
    test::ScriptedServer server(script);
    EXPECT_FALSE(Direct(server));
    Strings log = LogEntries();
    EXPECT_EQ(log.back(), Closing("unexpected reply to QUIT: 250 whatever"));
    EXPECT_EQ(log.size(), 11u) << "no SEND OK entry";
}

TEST_F(SessionTest, DataReplyWithBareCodePassesOnBothRoutes)
{
    test::ScriptedServer server(
        Join({S::Send("220 mx.test\r\n"), S::Expect(), S::Send("250 mx.test\r\n")},
             EnvelopeToQuit("354\r\n")));
    EXPECT_TRUE(Direct(server));
}

TEST_F(SessionTest, PeerClosingMidDialogueFailsAtOnce)
{
    test::ScriptedServer server({S::Send("220 mx.test\r\n"), S::Expect(),
                                 S::Send("250 mx.test\r\n"), S::Expect(), S::HangUp()});
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Direct(server));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(LogEntries().back(), Closing("connection closed (MAIL FROM)"));
}

TEST_F(SessionTest, PeerClosingWhileMessageIsSentDoesNotKillTheCaller)
{
    // Several megabytes: the hang-up comes while sends are still under way,
    // which raises SIGPIPE unless the library suppresses it.
    request.body.assign(4 * 1024 * 1024, 'b');
    test::ScriptedServer server({S::Send("220 mx.test\r\n"), S::Expect(),
                                 S::Send("250 mx.test\r\n"), S::Expect(), S::Send("250 ok\r\n"),
                                 S::Expect(), S::Send("250 ok\r\n"), S::Expect(),
                                 S::Send("354 go\r\n"), S::HangUp()});
    EXPECT_FALSE(Direct(server));
    EXPECT_EQ(LogEntries().back(), Closing("connection closed (message)"));
}

TEST_F(SessionTest, EndlessReplyWithoutLineEndIsRejected)
{
    test::ScriptedServer server({S::Send(std::string(kMaxReplyBytes + 4096, 'x'))});
    EXPECT_FALSE(Direct(server));
}

// A line break would end the command early; a blank or an angle bracket
// inside the address would close the path and pass ESMTP parameters.
TEST_F(SessionTest, AddressThatCouldBreakItsCommandIsNeverSent)
{
    struct Case
    {
        std::string from;
        std::string token;
        std::string logged;
    };
    const Case cases[] = {
        {"robot@example.com", "ops@example.org\r\nRCPT TO:evil@example.org",
         "SEND ERROR robot@example.com --> ops@example.org\\r\\nRCPT TO:evil@example.org : "
         "line break in address\r\n"},
        {"robot@example.com\nDATA", "ops@example.org",
         "SEND ERROR robot@example.com\\nDATA --> ops@example.org : line break in address\r\n"},
        {"robot@example.com", "dba@example.org> NOTIFY=SUCCESS",
         "SEND ERROR robot@example.com --> dba@example.org> NOTIFY=SUCCESS : blank or angle "
         "bracket in address\r\n"},
        {"robot@example.com", "Ops <ops@example.org NOTIFY=NEVER>",
         "SEND ERROR robot@example.com --> ops@example.org NOTIFY=NEVER : blank or angle bracket "
         "in address\r\n"},
        {"robot@example.com> SIZE=1", "ops@example.org",
         "SEND ERROR robot@example.com> SIZE=1 --> ops@example.org : blank or angle bracket in "
         "address\r\n"},
        {"robot@example.com", "<ops@example.org>",
         "SEND ERROR robot@example.com --> <ops@example.org> : blank or angle bracket in "
         "address\r\n"},
        {"Veltrane <ro\x1b[2Jbot@example.com>", "ops@example.org",
         "SEND ERROR ro\\x1B[2Jbot@example.com --> ops@example.org : control byte in address\r\n"},
        {"robot@example.com", "ops@example.org,dba@example.org",
         "SEND ERROR robot@example.com --> ops@example.org,dba@example.org : comma in address "
         "(separate addresses with \";\")\r\n"},
        {"Veltrane <@>", "ops@example.org",
         "SEND ERROR @ --> ops@example.org : sender address \"@\" lacks a user or a domain\r\n"},
    };
    for (const Case& c : cases) {
        std::remove(request.logPath.c_str());
        test::ScriptedServer server({S::Send("220 mx.test\r\n")});
        request.from = c.from;
        EXPECT_FALSE(Direct(server, c.token));
        EXPECT_FALSE(server.Accepted());
        EXPECT_EQ(LogEntries(), Strings{c.logged});
    }
}

// A recipient written after "; " keeps its blank; blanks around the address
// stay inside the brackets and are sent as written.
TEST_F(SessionTest, BlanksAroundTheAddressAreSentAsWritten)
{
    const std::pair<const char*, const char*> cases[] = {
        {" ops@example.org", "RCPT TO: < ops@example.org> "},
        {"ops@example.org\t", "RCPT TO: <ops@example.org\t> "},
        {"Ops < ops@example.org >", "RCPT TO: < ops@example.org > "},
    };
    for (const auto& [token, rcpt] : cases) {
        test::ScriptedServer server(
            Join({S::Send("220 mx.test\r\n"), S::Expect(), S::Send("250 mx.test\r\n")},
                 EnvelopeToQuit()));
        EXPECT_TRUE(Direct(server, token)) << token;
        EXPECT_EQ(server.Received().at(2), rcpt);
    }
}

// Anyone on the path can refuse STARTTLS for the server: once it was
// offered, a refusal ends the session before any login.
TEST_F(SessionTest, RefusedStartTlsEndsTheSessionBeforeAnyLogin)
{
    test::ScriptedServer server({S::Send("220 smtp.test\r\n"), S::Expect(),
                                 S::Send("250-smtp.test\r\n250 STARTTLS\r\n"), S::Expect(),
                                 S::Send("454 4.7.0 TLS not available\r\n")});
    EXPECT_FALSE(ViaServer(server));
    EXPECT_EQ(server.Received(), (Strings{"EHLO example.com", "STARTTLS"}));
    EXPECT_EQ(LogEntries().back(), Closing("STARTTLS refused: 454 4.7.0 TLS not available"));
}

// Bytes after the STARTTLS reply came in clear and could pose as answers to
// the commands still to come. The reply reader takes 32 bytes at a time: after
// the short reply the bytes sit in its buffer, after the 32-byte one in the
// socket. Either way the session ends before any handshake.
TEST_F(SessionTest, BytesInClearAfterTheStartTlsReplyAreRefused)
{
    for (const char* reply : {"220 go ahead\r\n", "220 2.0.0 Ready to start TLS..\r\n"}) {
        std::remove(request.logPath.c_str());
        test::ScriptedServer server({S::Send("220 smtp.test\r\n"), S::Expect(),
                                     S::Send("250-smtp.test\r\n250 STARTTLS\r\n"), S::Expect(),
                                     S::Send(reply + std::string("250 injected\r\n"))});
        login.server = "smtp+starttls://127.0.0.1:" + std::to_string(server.port());
        EXPECT_FALSE(SendToRecipientViaSMTP(login, request, kRecipient, settings));
        EXPECT_EQ(LogEntries().back(), "SEND ERROR robot@example.com --> ops@example.org : bytes "
                                       "in clear after the STARTTLS reply\r\n");
    }
}

// Passes `budget` bytes, both ways together, then fails every write and read
// as a broken connection does.
class FailAfter final : public Transport
{
public:
    FailAfter(std::unique_ptr<Transport> inner, std::size_t budget)
        : inner_(std::move(inner)), left_(budget)
    {}
    Outcome Write(std::string_view bytes, std::chrono::milliseconds stall,
                  Deadline deadline) override
    {
        const std::size_t n = std::min(bytes.size(), left_);
        left_ -= n;
        if (n > 0)
            inner_->Write(bytes.substr(0, n), stall, deadline);
        return n == bytes.size() ? Outcome::Success()
                                 : Outcome::Failure(Outcome::Code::Network, "broken");
    }
    ReadStatus ReadSome(std::string& into, std::size_t max, Deadline deadline) override
    {
        const std::size_t before = into.size();
        ReadStatus status = left_ == 0 ? ReadStatus::Closed
                                       : inner_->ReadSome(into, std::min(max, left_), deadline);
        left_ -= into.size() - before;
        return status;
    }
    std::size_t Buffered() const override { return inner_->Buffered(); }
    TlsStart StartTls(const std::string& host, Deadline deadline) override
    {
        return inner_->StartTls(host, deadline);
    }

private:
    std::unique_ptr<Transport> inner_;
    std::size_t left_;
};

// Wherever the connection breaks, the session fails at once: the reply so
// far (or "TIME OUT"), then its one closing entry; only the whole dialogue
// succeeds.
TEST_F(SessionTest, ConnectionBrokenAfterAnyByteEndsTheSessionAtOnce)
{
    std::size_t budget = 0;
    settings.wrapTransport = [&](std::unique_ptr<Transport> tcp) {
        return std::make_unique<FailAfter>(std::move(tcp), budget);
    };
    for (;; ++budget) {
        std::remove(request.logPath.c_str());
        test::ScriptedServer server(
            Join({S::Send("220 smtp.test\r\n"), S::Expect(),
                  S::Send("250-smtp.test\r\n250 AUTH LOGIN\r\n"), S::Expect(),
                  S::Send("334 VXNlcm5hbWU6\r\n"), S::Expect(), S::Send("334 UGFzc3dvcmQ6\r\n"),
                  S::Expect(), S::Send("235 ok\r\n")},
                 EnvelopeToQuit()));
        auto start = std::chrono::steady_clock::now();
        if (ViaServer(server))
            break;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << budget;
        Strings log = LogEntries();
        ASSERT_GE(log.size(), 2u) << budget;
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const std::string& e) { return e.rfind("SEND ", 0) == 0; }),
                  2)
            << budget << ": the opening entry and one closing entry";
        EXPECT_EQ(log.back().rfind(kFailed, 0), 0u) << budget << ": " << log.back();
    }
    EXPECT_GT(budget, MessageBytes()) << "succeeded before the message went through";
}

// The ports and schemes themselves are tried against real servers.
TEST(ParseServerText, TakesBracketedOrBareIPv6AndRefusesWhatIsNoServer)
{
    ServerAddress address;
    ASSERT_TRUE(ParseServerText("smtps://[2001:db8::1]:4650", 25, address).ok());
    EXPECT_EQ(address.host + " " + std::to_string(address.port), "2001:db8::1 4650");
    ASSERT_TRUE(ParseServerText("2001:db8::1", 2525, address).ok());
    EXPECT_EQ(address.host + " " + std::to_string(address.port), "2001:db8::1 2525");
    EXPECT_EQ(address.security, Security::None);
    for (const char* bad :
         {"", ":587", "mail.example.org:", "mail.example.org:65536", "mail.example.org:58x",
          "smtp://mail.example.org", "smtps://", "[::1]587", "smtps://user@mail.example.org"})
        EXPECT_EQ(ParseServerText(bad, 25, address).code, Outcome::Code::BadInput) << bad;
}

TEST_F(SessionTest, UnusableTokensAreSkippedWithoutConnectingOrLogging)
{
    for (const char* token : {"nobody", "@example.org", ""}) {
        test::ScriptedServer server({S::Send("220 mx.test\r\n")});
        EXPECT_TRUE(Direct(server, token)) << token;
        EXPECT_TRUE(ViaServer(server, token)) << token;
        EXPECT_FALSE(server.Accepted());
    }
    EXPECT_FALSE(FileExists(request.logPath));
}

TEST_F(SessionTest, NoExchangerOrNoConnectionGivesSendError)
{
    // Between the opening and the plain closing entry, what failed.
    auto expected = [this] {
        return Strings{"SEND robot@example.com --> ops@example.org\r\n",
                       report.failure.substr(17) + "\r\n",
                       "SEND ERROR robot@example.com --> ops@example.org\r\n"};
    };
    // Nothing listens on a port that was free a moment ago.
    const int port = veltrane::test::FreeLoopbackPort();
    settings.port = port;
    EXPECT_FALSE(SendToRecipient(request, kRecipient, settings, &report));
    EXPECT_EQ(LogEntries(), expected());
    EXPECT_EQ(report.failure,
              "ops@example.org: connection refused (127.0.0.1:" + std::to_string(port) + ")");

    std::remove(request.logPath.c_str());
    settings.lookupExchanger = [](const std::string&) { return MailHosts{}; };
    report = {};
    EXPECT_FALSE(SendToRecipient(request, kRecipient, settings, &report));
    EXPECT_EQ(LogEntries(), expected());
    EXPECT_EQ(report.failure, "ops@example.org: no mail exchanger found for example.org");

    std::remove(request.logPath.c_str());
    login.server = "no-such-host.invalid";
    report = {};
    EXPECT_FALSE(SendToRecipientViaSMTP(login, request, kRecipient, settings, &report));
    EXPECT_EQ(LogEntries(), expected());
    EXPECT_EQ(report.failure.rfind("ops@example.org: cannot resolve no-such-host.invalid: ", 0), 0u)
        << report.failure;
}

// A log that cannot be written never holds the mail back; the caller learns
// why.
TEST_F(SessionTest, UnwritableLogIsReportedWhileTheMailGoesOut)
{
    request.logPath = dir.File("missing/SendResult.Log");
    test::ScriptedServer server(Join(
        {S::Send("220 mx.test\r\n"), S::Expect(), S::Send("250 mx.test\r\n")}, EnvelopeToQuit()));
    EXPECT_TRUE(Direct(server));
    EXPECT_EQ(report.Text(), request.logPath + " cannot be written: No such file or directory");
}

TEST(ApplyHostRedirect, ReplacesOnlyTheExactHostName)
{
    EXPECT_EQ(ApplyHostRedirect(RedirectFromHost), RedirectToHost);
    EXPECT_EQ(ApplyHostRedirect("MX.example.net"), "MX.example.net");
    EXPECT_EQ(ApplyHostRedirect("mx.example.net."), "mx.example.net.");
    EXPECT_EQ(ApplyHostRedirect("mail.example.org"), "mail.example.org");
}

TEST(SendToEachRecipient, ServesTokensInOrderAndStopsAtTheFirstFailure)
{
    struct Case
    {
        const char* list;
        const char* failing; // token whose session fails, or nullptr
        int result;
        Strings tried;
    };
    const Case cases[] = {
        {"", nullptr, 1, {}},
        {";;", nullptr, 1, {}},
        {"a@x;b@y", nullptr, 1, {"a@x", "b@y"}},
        {";a@x;; b@y;", nullptr, 1, {"a@x", " b@y"}},
        {"a@x;b@y", "a@x", 0, {"a@x"}},
        {"a@x;b@y;c@z", "b@y", 0, {"a@x", "b@y"}},
    };
    for (const Case& c : cases) {
        Strings tried;
        int result = SendToEachRecipient(c.list, [&](const std::string& token) {
            tried.push_back(token);
            return c.failing == nullptr || token != c.failing;
        });
        EXPECT_EQ(result, c.result) << c.list;
        EXPECT_EQ(tried, c.tried) << c.list;
    }
}

} // namespace
} // namespace sendwick
