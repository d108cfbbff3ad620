// Delivery to real peers: aiosmtpd as the mail server and dnsmasq as the DNS
// server, each test inside its own network and mount namespace so that port
// 25, port 53 and /etc/resolv.conf belong to it alone. The library is the
// shared one from the program folder, bound by name as the program binds it.
#include "scripted_server.h"
#include "sendwick.h"
#include "session.h"
#include "support/child_process.h"
#include "support/net.h"
#include "support/temp_dir.h"
#include "test_clock.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <memory>
#include <regex>
#include <sstream>
#include <sys/mount.h>
#include <tuple>

namespace sendwick {
namespace {

using veltrane::test::ChildProcess;
using veltrane::test::Hex;
using veltrane::test::ReadBytes;
using veltrane::test::TempDir;
using veltrane::test::WriteBytes;
using Strings = std::vector<std::string>;
using SendMailFn = int (*)(const char*, const char*, const char*, const char*, const char*,
                           const char*, const char*);
using SendMailViaSmtpFn = int (*)(const char*, const char*, const char*, const char*, const char*,
                                  const char*, const char*, const char*, const char*, const char*);

const std::string kDataDir = VELTRANE_TEST_DATA_DIR;

std::string ToCp949(const std::string& utf8)
{
    iconv_t cd = iconv_open("CP949", "UTF-8");
    std::string out(utf8.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    char* o = out.data();
    std::size_t outLeft = out.size();
    EXPECT_NE(iconv(cd, &in, &inLeft, &o, &outLeft), static_cast<std::size_t>(-1));
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

std::string RunCommand(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << command << "\n" << out;
    return out;
}

// One message as the sink saved it.
struct Received
{
    Strings envelope; // sender, then recipients
    std::string path; // the .eml file
};

std::vector<Received> ReceivedIn(const std::string& folder)
{
    Strings names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".eml")
                names.push_back(name.substr(0, name.size() - 4));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<Received> messages;
    for (const auto& base : names) {
        Received r;
        std::istringstream env(ReadBytes(folder + "/" + base + ".env"));
        for (std::string line; std::getline(env, line);)
            r.envelope.push_back(line);
        r.path = folder + "/" + base + ".eml";
        messages.push_back(r);
    }
    return messages;
}

class RealPeersTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(veltrane::test::EnterPrivateNetwork(error)) << error;
        WriteBytes(dir.File("resolv.conf"), "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
        ASSERT_TRUE(
            veltrane::test::BindMountFile(dir.File("resolv.conf"), "/etc/resolv.conf", error))
            << error;
        resolverMounted = true;
        library = dlopen(VELTRANE_PROGRAM_DIR "/libSendwick.so", RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        sendMail = reinterpret_cast<SendMailFn>(dlsym(library, "SendMail"));
        sendMailViaSmtp = reinterpret_cast<SendMailViaSmtpFn>(dlsym(library, "SendMailViaSMTP"));
        lastError = reinterpret_cast<GetLastMailErrorProc>(dlsym(library, "GetLastMailError"));
        ASSERT_NE(sendMail, nullptr);
        ASSERT_NE(sendMailViaSmtp, nullptr);
        ASSERT_NE(lastError, nullptr);
        log = dir.File("SendResult.Log");
    }

    void TearDown() override
    {
        peers.clear();
        if (library != nullptr)
            dlclose(library);
        // The mount's source is about to be deleted with the temporary
        // folder; a later test in this process mounts its own.
        if (resolverMounted)
            umount2("/etc/resolv.conf", MNT_DETACH);
    }

    // dnsmasq answering only from the records given (--mx-host, --host-record).
    void StartDns(const Strings& records)
    {
        Strings argv{
            "/usr/sbin/dnsmasq",     "--no-daemon", "--no-resolv",     "--no-hosts",
            "--conf-file=/dev/null", "--pid-file",  "--port=53",       "--listen-address=127.0.0.1",
            "--bind-interfaces",     "--user=root", "--log-facility=-"};
        argv.insert(argv.end(), records.begin(), records.end());
        peers.push_back(std::make_unique<ChildProcess>(argv, dir.File("dnsmasq.log")));
        ASSERT_TRUE(veltrane::test::WaitForPort("127.0.0.1", 53))
            << ReadBytes(dir.File("dnsmasq.log"));
    }

    // aiosmtpd on `port` of `address` (options: see smtp_sink.py), saving
    // what it accepts to a new folder.
    std::string StartSink(const std::string& address, int port = 25, const Strings& options = {})
    {
        const std::string name = "sink-" + address + "-" + std::to_string(port);
        std::string folder = dir.File(name);
        RunCommand("mkdir -p " + folder);
        Strings argv{"/usr/bin/python3", kDataDir + "/smtp_sink.py",
                     "--host",           address,
                     "--port",           std::to_string(port),
                     "--folder",         folder,
                     "--user",           "backup",
                     "--password",       "secret"};
        argv.insert(argv.end(), options.begin(), options.end());
        peers.push_back(std::make_unique<ChildProcess>(argv, dir.File(name + ".log")));
        EXPECT_TRUE(veltrane::test::WaitForPort(address, port))
            << ReadBytes(dir.File(name + ".log"));
        return folder;
    }

    // The log's entries: each starts with a stamp, which is checked and cut.
    Strings LogEntries() const
    {
        std::string text = ReadBytes(log);
        std::regex stamp(R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] )");
        Strings entries;
        auto begin = std::sregex_iterator(text.begin(), text.end(), stamp);
        std::vector<std::pair<std::size_t, std::size_t>> found;
        for (auto it = begin; it != std::sregex_iterator(); ++it)
            found.emplace_back(it->position(), it->length());
        EXPECT_TRUE(!found.empty() && found[0].first == 0);
        for (std::size_t i = 0; i < found.size(); ++i) {
            std::size_t start = found[i].first + found[i].second;
            std::size_t end = i + 1 < found.size() ? found[i + 1].first : text.size();
            entries.push_back(text.substr(start, end - start));
        }
        return entries;
    }

    TempDir dir;
    std::string log;
    bool resolverMounted = false;
    void* library = nullptr;
    SendMailFn sendMail = nullptr;
    SendMailViaSmtpFn sendMailViaSmtp = nullptr;
    GetLastMailErrorProc lastError = nullptr;

    std::string LastError() const
    {
        char text[512];
        lastError(text, sizeof text);
        return text;
    }
    std::vector<std::unique_ptr<ChildProcess>> peers;
};

TEST_F(RealPeersTest, DirectDeliveryServesRecipientsInOrderAtTheExchangerMxNames)
{
    // The domain's own address leads to nothing: it counts only without MX.
    StartDns({"--mx-host=example.org,mail.example.org,10",
              "--host-record=mail.example.org,127.0.0.1", "--host-record=example.org,127.0.0.3"});
    std::string folder = StartSink("127.0.0.1");

    ASSERT_EQ(sendMail("Robot <robot@example.com>", "Ops <ops@example.org>;dba@example.org", "HTML",
                       "Report", "<p>ok</p>", "", log.c_str()),
              1)
        << ReadBytes(log);

    std::vector<Received> messages = ReceivedIn(folder);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].envelope, (Strings{"robot@example.com", "ops@example.org"}));
    EXPECT_EQ(messages[1].envelope, (Strings{"robot@example.com", "dba@example.org"}));

    Strings entries = LogEntries();
    ASSERT_EQ(entries.size(), 22u);
    const Strings firstSession(entries.begin(), entries.begin() + 11);
    const char* expected[] = {"SEND robot@example.com --> ops@example.org\r\n",
                              "220 ",
                              ">>HELO example.com \r\n",
                              "250 ",
                              "250 ",
                              "250 ",
                              "354 ",
                              "250 ",
                              ">>QUIT\r\n",
                              "221 ",
                              "SEND OK robot@example.com --> ops@example.org\r\n"};
    for (std::size_t i = 0; i < 11; ++i) {
        EXPECT_EQ(firstSession[i].rfind(expected[i], 0), 0u) << i << ": " << firstSession[i];
        EXPECT_EQ(firstSession[i].substr(firstSession[i].size() - 2), "\r\n") << i;
    }
    EXPECT_EQ(entries[11], "SEND robot@example.com --> dba@example.org\r\n");
}

TEST_F(RealPeersTest, FailingFirstRecipientStopsTheList)
{
    StartDns(
        {"--mx-host=example.org,mail.example.org", "--host-record=mail.example.org,127.0.0.1"});
    std::string folder = StartSink("127.0.0.1");

    EXPECT_EQ(sendMail("robot@example.com", "x@nomx.example.org;ops@example.org", "HTML", "Report",
                       "<p>ok</p>", "", log.c_str()),
              0);
    EXPECT_TRUE(ReceivedIn(folder).empty());
    EXPECT_EQ(LogEntries().at(1).rfind("no mail exchanger found for nomx.example.org (", 0), 0u);
    EXPECT_EQ(LogEntries().back(), "SEND ERROR robot@example.com --> x@nomx.example.org\r\n");
}

// RFC 5321 5.1: exchangers by preference, whatever the answer's order, each
// address until one takes the session; without MX the domain's own address.
TEST_F(RealPeersTest, ExchangersAreTriedByPreferenceUntilOneTakesTheSession)
{
    StartDns({"--local=/example.org/", "--mx-host=example.org,mx3.example.org,30",
              "--mx-host=example.org,mx1.example.org,10",
              "--mx-host=example.org,mx2.example.org,20", "--host-record=mx1.example.org,127.0.0.2",
              "--host-record=mx2.example.org,127.0.0.3", "--host-record=mx3.example.org,127.0.0.1",
              "--host-record=nomx.example.org,127.0.0.4"});
    test::ScriptedServer refusing({test::ScriptedServer::Send("554 5.3.2 not now\r\n")},
                                  "127.0.0.3", 25);
    const std::string third = StartSink("127.0.0.1");
    const std::string domain = StartSink("127.0.0.4");
    ASSERT_EQ(sendMail("robot@example.com", "ops@example.org;dba@nomx.example.org", "HTML",
                       "Report", "<p>ok</p>", "", log.c_str()),
              1)
        << ReadBytes(log);
    EXPECT_EQ(ReceivedIn(third).size(), 1u);
    EXPECT_EQ(ReceivedIn(domain).at(0).envelope,
              (Strings{"robot@example.com", "dba@nomx.example.org"}));
    const Strings entries = LogEntries();
    ASSERT_GE(entries.size(), 5u);
    EXPECT_EQ(Strings(entries.begin() + 1, entries.begin() + 5),
              (Strings{"connection refused (mx1.example.org[127.0.0.2]:25)\r\n",
                       "connected to mx2.example.org[127.0.0.3]:25\r\n", "554 5.3.2 not now\r\n",
                       "connected to mx3.example.org[127.0.0.1]:25\r\n"}));
}

// The check says what the sessions then do with the same texts: each case it
// finds fails the send with that reason, the clean ones go out.
TEST_F(RealPeersTest, CheckFindsWhatTheSendThenFailsOn)
{
    StartDns({"--mx-host=nomail.example.org,.", "--mx-host=example.org,mail.example.org",
              "--host-record=mail.example.org,127.0.0.1"});
    const std::string folder = StartSink("127.0.0.1");
    auto check = reinterpret_cast<CheckMailProc>(dlsym(library, "CheckMail"));
    auto checkVia = reinterpret_cast<CheckMailViaSMTPProc>(dlsym(library, "CheckMailViaSMTP"));
    ASSERT_TRUE(check != nullptr && checkVia != nullptr);
    const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
        {nullptr, "robot@example.com", "ops@example.org", ""},
        {"127.0.0.1", "robot@example.com", "ops@example.org", ""},
        {nullptr, "robot@example.com", "x@nomail.example.org",
         "x@nomail.example.org: nomail.example.org takes no mail (null MX)"},
        {nullptr, "Veltrane <@>", "ops@example.org",
         "sender Veltrane <@>: sender address \"@\" lacks a user or a domain"},
        {"127.0.0.1", "Veltrane <rob\x01ot@x>", "ops@example.org",
         "sender Veltrane <rob\\x01ot@x>: control byte in address"},
        {nullptr, "robot@example.com", "a@example.org,b@example.org",
         "a@example.org,b@example.org: comma in address (separate addresses with \";\")"},
        {"mail.example.org:x", "robot@example.com", "ops@example.org",
         "server mail.example.org:x: server text: bad port"},
    };
    for (const auto& [server, from, to, finding] : cases) {
        char found[256] = "";
        const int length = server == nullptr ? check(from.c_str(), to.c_str(), found, 256)
                                             : checkVia(server, from.c_str(), to.c_str(), found, 8);
        EXPECT_EQ(length, static_cast<int>(finding.size())) << to;
        EXPECT_EQ(std::string(found), finding.substr(0, server == nullptr ? 256 : 7));
        const int sent = server == nullptr
                             ? sendMail(from.c_str(), to.c_str(), "HTML", "s", "b", "", "")
                             : sendMailViaSmtp(server, "backup", "secret", from.c_str(), to.c_str(),
                                               "HTML", "s", "b", "", "");
        EXPECT_EQ(sent, finding.empty() ? 1 : 0) << to;
        EXPECT_TRUE(finding.empty() || LastError().ends_with(finding.substr(finding.find(": ", 7))))
            << to;
    }
    EXPECT_EQ(ReceivedIn(folder).size(), 2u);
}

TEST_F(RealPeersTest, ServerDeliveryLogsInAndAWrongPasswordFails)
{
    std::string folder = StartSink("127.0.0.1");

    EXPECT_EQ(sendMailViaSmtp("127.0.0.1", "backup", "secret", "robot@example.com",
                              "ops@example.org", "HTML", "Report", "<p>ok</p>", "", log.c_str()),
              1)
        << ReadBytes(log);
    ASSERT_EQ(ReceivedIn(folder).size(), 1u);
    const std::string clear = "password sent in clear to 127.0.0.1:25 (no STARTTLS offered)";
    EXPECT_EQ(LastError(), clear); // the caller is told

    // The first recipient's refusal; a log that is a folder is named after it.
    const std::string refused =
        "ops@example.org: 535 5.7.8 Authentication credentials invalid; " + clear;
    for (const std::string& path : {log, dir.path()}) {
        EXPECT_EQ(sendMailViaSmtp("127.0.0.1", "backup", "wrong", "robot@example.com",
                                  "ops@example.org;dba@example.org", "HTML", "Report", "<p>ok</p>",
                                  "", path.c_str()),
                  0);
        EXPECT_EQ(LastError(), path == log
                                   ? refused
                                   : refused + "; " + path + " cannot be written: Is a directory");
    }
    EXPECT_EQ(ReceivedIn(folder).size(), 1u);
    EXPECT_EQ(
        LogEntries().back().rfind("SEND ERROR robot@example.com --> ops@example.org : 535 ", 0), 0u)
        << ReadBytes(log);
    EXPECT_EQ(ReadBytes(log).find("secret"), std::string::npos);
}

TEST_F(RealPeersTest, ThreeRecipientsEachGetBothAttachmentsIntact)
{
    std::string folder = StartSink("127.0.0.1");
    std::string report;
    for (std::size_t i = 0; i < 6912; ++i)
        report.push_back(static_cast<char>(i % 251));
    std::string trace;
    for (std::size_t i = 0; i < 10001; ++i)
        trace.push_back(static_cast<char>((i * 131 + 7) % 256));
    WriteBytes(dir.File("report.bin"), report);
    WriteBytes(dir.File(ToCp949("뷁추적.log")), trace);
    WriteBytes(dir.File("홍길동.log"), "x"); // a path's own bytes: UTF-8
    // 똠 and 뷁 are in code page 949 only; the sender's name is EUC-KR.
    const std::string subjectText = "ORCL 백업결과 보고 똠", subject = ToCp949(subjectText);
    const std::string bodyText = "<html><body>백업 성공 뷁</body></html>", body = ToCp949(bodyText);
    const std::string attachments = dir.File("report.bin") + ";" +
                                    dir.File(ToCp949("뷁추적.log")) + ";" + dir.File("홍길동.log");

    ASSERT_EQ(sendMailViaSmtp("127.0.0.1", "backup", "secret",
                              ToCp949("백업 <robot@example.com>").c_str(),
                              "a@example.org;b@example.org;c@example.org", "HTML", subject.c_str(),
                              body.c_str(), attachments.c_str(), log.c_str()),
              1)
        << ReadBytes(log);

    std::vector<Received> messages = ReceivedIn(folder);
    ASSERT_EQ(messages.size(), 3u);
    const char* recipients[] = {"a@example.org", "b@example.org", "c@example.org"};
    for (std::size_t m = 0; m < 3; ++m) {
        SCOPED_TRACE(recipients[m]);
        EXPECT_EQ(messages[m].envelope, (Strings{"robot@example.com", recipients[m]}));
        std::string out = dir.File("parsed" + std::to_string(m));
        RunCommand("mkdir -p " + out);
        std::string parsed = RunCommand("/usr/bin/python3 " + kDataDir + "/parse_message.py " +
                                        messages[m].path + " " + out);
        std::string expected = "subject " + Hex(subjectText) + "\n" + "from " + Hex("백업") +
                               " robot@example.com\n" + "to " + Hex(recipients[m]) + " " +
                               recipients[m] + "\n" +
                               "message-id True\n"
                               "part 0 text/plain -\n"
                               "part 1 text/html -\n"
                               "part 2 application/octet-stream report.bin\n"
                               "part 3 application/octet-stream 뷁추적.log\n"
                               "part 4 application/octet-stream 홍길동.log\n"
                               "defects 0\n";
        EXPECT_EQ(parsed, expected);
        EXPECT_EQ(ReadBytes(out + "/part0"), "백업 성공 뷁\r\n");
        EXPECT_EQ(ReadBytes(out + "/part1"), bodyText);
        EXPECT_EQ(ReadBytes(out + "/part2"), report);
        EXPECT_EQ(ReadBytes(out + "/part3"), trace);
    }

    // The 6912-byte attachment: 121 lines of 76 and one of 20, then the
    // blank line that ends the part.
    std::string raw = ReadBytes(messages[0].path);
    std::string head = "filename=\"report.bin\"\r\n\r\n";
    std::size_t pos = raw.find(head);
    ASSERT_NE(pos, std::string::npos);
    pos += head.size();
    for (int line = 0; line < 122; ++line) {
        std::size_t end = raw.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(end - pos, line < 121 ? 76u : 20u) << "line " << line;
        pos = end + 2;
    }
    EXPECT_EQ(raw.substr(pos, 2 + 14), "\r\n--NextMimePart");
}

TEST_F(RealPeersTest, PlainTextLinesStartingWithADotArriveUnchanged)
{
    std::string folder = StartSink("127.0.0.1");
    ASSERT_EQ(sendMailViaSmtp("127.0.0.1", "backup", "secret", "robot@example.com",
                              "ops@example.org", "TEXT", "Report", "first\r\n.\r\n.second", "",
                              log.c_str()),
              1);
    std::vector<Received> messages = ReceivedIn(folder);
    ASSERT_EQ(messages.size(), 1u);
    std::string raw = ReadBytes(messages[0].path);
    // The body, then its own line end, then the end of the data.
    std::string tail = "\r\n\r\nfirst\r\n.\r\n.second\r\n\r\n";
    ASSERT_GE(raw.size(), tail.size());
    EXPECT_EQ(raw.substr(raw.size() - tail.size()), tail);
}

TEST_F(RealPeersTest, OnlyTheExactRedirectHostIsRedirected)
{
    StartDns({"--mx-host=example.org,mx.example.net", "--host-record=mx.example.net,127.0.0.2",
              "--host-record=relay.example.net,127.0.0.1"});
    std::string relay = StartSink("127.0.0.1");
    std::string exchanger = StartSink("127.0.0.2");

    // The exchanger's name is the redirect host: delivery goes to the relay.
    ASSERT_EQ(sendMail("robot@example.com", "ops@example.org", "HTML", "Report", "<p>ok</p>", "",
                       log.c_str()),
              1)
        << ReadBytes(log);
    EXPECT_EQ(ReceivedIn(relay).size(), 1u);
    EXPECT_EQ(ReceivedIn(exchanger).size(), 0u);

    // The same through a named server.
    ASSERT_EQ(sendMailViaSmtp(RedirectFromHost, "backup", "secret", "robot@example.com",
                              "ops@example.org", "HTML", "Report", "<p>ok</p>", "", log.c_str()),
              1);
    EXPECT_EQ(ReceivedIn(relay).size(), 2u);

    // A name differing in case resolves to the same host but is not redirected.
    test::FixedClock clock;
    SessionSettings settings;
    settings.clock = &clock;
    settings.lookupExchanger = [](const std::string&) { return MailHosts{{"MX.example.net"}, {}}; };
    MailRequest request{"robot@example.com", "HTML", "Report", "<p>ok</p>", "", log};
    ASSERT_TRUE(SendToRecipient(request, "ops@example.org", settings)) << ReadBytes(log);
    EXPECT_EQ(ReceivedIn(relay).size(), 2u);
    EXPECT_EQ(ReceivedIn(exchanger).size(), 1u);
}

// Servers with a certificate for mail.example.org from the test's own
// authority, which SSL_CERT_FILE names as the one trusted; other.example.org
// leads to the same servers.
class TlsPeersTest : public RealPeersTest
{
protected:
    void SetUp() override
    {
        RealPeersTest::SetUp();
        if (HasFatalFailure())
            return;
        RunCommand("cd " + dir.path() + " && " + kMakeCertificates + " 2>&1");
        setenv("SSL_CERT_FILE", dir.File("ca.crt").c_str(), 1);
        StartDns({"--host-record=mail.example.org,127.0.0.1",
                  "--host-record=other.example.org,127.0.0.1",
                  "--host-record=plain.example.org,127.0.0.2"});
    }

    void TearDown() override
    {
        unsetenv("SSL_CERT_FILE");
        RealPeersTest::TearDown();
    }

    Strings Tls(const char* mode, Strings options = {}) const
    {
        options.insert(options.end(), {"--tls", mode, "--cert", dir.File("server.crt"), "--key",
                                       dir.File("server.key")});
        return options;
    }

    int Send(const char* server, const char* body = "<p>ok</p>")
    {
        return sendMailViaSmtp(server, "backup", "secret", "robot@example.com", "ops@example.org",
                               "HTML", "Report", body, "", log.c_str());
    }

    static constexpr const char* kMakeCertificates =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
        "-subj /CN=TestCA -keyout ca.key -out ca.crt && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
        "-subj /CN=OtherCA -keyout other-ca.key -out other-ca.crt && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
        "-subj /CN=mail.example.org -keyout server.key -out server.csr && "
        "printf 'subjectAltName=DNS:mail.example.org\\n' > san.cnf && "
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile san.cnf -out server.crt && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
        "-subj /CN=mail.example.org -addext subjectAltName=DNS:mail.example.org "
        "-keyout self.key -out self.crt && "
        "touch index.txt && echo 01 > serial && printf '[ca]\\ndefault_ca=d\\n[d]\\n"
        "database=index.txt\\nnew_certs_dir=.\\nserial=serial\\npolicy=p\\ndefault_md=sha256\\n"
        "[p]\\ncommonName=supplied\\n' > ca.cnf && "
        "openssl ca -batch -config ca.cnf -cert ca.crt -keyfile ca.key -in server.csr "
        "-startdate 20200101000000Z -enddate 20200102000000Z -extfile san.cnf -out expired.crt";
};

// STARTTLS (aiosmtpd offering AUTH PLAIN only, and only over TLS) and TLS
// from the first byte (offering LOGIN too), each by port and by scheme.
TEST_F(TlsPeersTest, BothKindsOfTlsLogInAndDeliver)
{
    const std::string startTls = StartSink("127.0.0.1", 587, Tls("starttls", {"--plain-only"}));
    const std::string implicit = StartSink("127.0.0.1", 465, Tls("implicit"));
    const Strings overStartTls{"SEND ", "220 ", "250-", "220 ", "TLS TLSv1.3 ", "250-",    "235 ",
                               "250 ",  "250 ", "354 ", "250 ", "221 ",         "SEND OK "};
    const Strings fromTheStart{"SEND ", "TLS TLSv1.3 ", "220 ", "250-", "334 ", "334 ",    "235 ",
                               "250 ",  "250 ",         "354 ", "250 ", "221 ", "SEND OK "};
    const std::tuple<const char*, const Strings*> cases[] = {
        {"mail.example.org:587", &overStartTls},
        {"smtp+starttls://mail.example.org", &overStartTls},
        {"mail.example.org:465", &fromTheStart},
        {"SMTPS://mail.example.org:465/", &fromTheStart},
    };
    for (const auto& [server, expected] : cases) {
        SCOPED_TRACE(server);
        std::remove(log.c_str());
        ASSERT_EQ(Send(server), 1) << ReadBytes(log);
        Strings entries = LogEntries();
        ASSERT_EQ(entries.size(), expected->size()) << ReadBytes(log);
        for (std::size_t i = 0; i < entries.size(); ++i)
            EXPECT_EQ(entries[i].rfind((*expected)[i], 0), 0u) << entries[i];
        EXPECT_EQ(ReadBytes(log).find("secret"), std::string::npos);
    }
    EXPECT_EQ(ReceivedIn(startTls).size(), 2u);
    EXPECT_EQ(ReceivedIn(implicit).size(), 2u);
}

TEST_F(TlsPeersTest, UntrustedWrongHostNoStartTlsOrHangUpFailWithTheReason)
{
    const std::string startTls = StartSink("127.0.0.1", 587, Tls("starttls"));
    const std::string hangUp = StartSink("127.0.0.1", 465, Tls("implicit", {"--hang-up-at-data"}));
    const std::string plain = StartSink("127.0.0.2", 587);
    // Megabytes: the hang-up comes while the message is still being written.
    const std::string big(4 * 1024 * 1024, 'b');
    const std::string error = "SEND ERROR robot@example.com --> ops@example.org : ";
    struct Case
    {
        const char* server;
        std::string trusted;
        std::string last;
    };
    const Case cases[] = {
        {"mail.example.org:587", "other-ca.crt",
         error + "certificate rejected: unable to get local issuer certificate\r\n"},
        {"other.example.org:587", "ca.crt", error + "certificate rejected: hostname mismatch\r\n"},
        {"plain.example.org:587", "ca.crt", error + "server offers no STARTTLS\r\n"},
        {"smtps://mail.example.org", "ca.crt", error + "connection closed (message)\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        std::remove(log.c_str());
        setenv("SSL_CERT_FILE", dir.File(c.trusted).c_str(), 1);
        EXPECT_EQ(Send(c.server, big.c_str()), 0);
        EXPECT_EQ(LogEntries().back(), c.last);
    }
    for (const std::string& folder : {startTls, hangUp, plain})
        EXPECT_TRUE(ReceivedIn(folder).empty());
}

// Once a server offered STARTTLS, on port 25 as on any other, the login goes
// over TLS or not at all: a certificate from an authority not trusted,
// self-signed, expired or for another name, and a server that speaks only
// TLS 1.0, each fail the mail with that reason and nothing goes in clear.
TEST_F(TlsPeersTest, OfferedStartTlsThatFailsNeverLeadsToALoginInClear)
{
    const auto sink = [&](int port, const std::string& cert, const std::string& key, Strings more) {
        more.insert(more.end(),
                    {"--tls", "offered", "--cert", dir.File(cert), "--key", dir.File(key)});
        return StartSink("127.0.0.1", port, more);
    };
    const Strings folders{sink(25, "server.crt", "server.key", {}),
                          sink(2525, "self.crt", "self.key", {}),
                          sink(2526, "expired.crt", "server.key", {}),
                          sink(2527, "server.crt", "server.key", {"--tls-1.0-only"})};
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"mail.example.org", "ca.crt", ""},
        {"mail.example.org", "other-ca.crt", "certificate rejected: unable to get local issuer"},
        {"mail.example.org:2525", "ca.crt", "certificate rejected: self-signed certificate"},
        {"mail.example.org:2526", "ca.crt", "certificate rejected: certificate has expired"},
        {"other.example.org", "ca.crt", "certificate rejected: hostname mismatch"},
        {"mail.example.org:2527", "ca.crt", "TLS handshake failed: "},
    };
    for (const auto& [server, trusted, reason] : cases) {
        setenv("SSL_CERT_FILE", dir.File(trusted).c_str(), 1);
        EXPECT_EQ(Send(server), reason.empty() ? 1 : 0) << ReadBytes(log);
        const std::string said = reason.empty() ? "" : "ops@example.org: " + reason;
        EXPECT_EQ(LastError().substr(0, said.size()), said) << server;
        EXPECT_EQ(LastError().find("in clear"), std::string::npos) << LastError();
    }
    for (std::size_t i = 0; i < folders.size(); ++i)
        EXPECT_EQ(ReceivedIn(folders[i]).size(), i == 0 ? 1u : 0u);
    EXPECT_EQ(ReadBytes(log).find("WARNING"), std::string::npos);
}

// postfix as sites run it (its own configuration and queue here): postscreen's
// 6 s greeting delay, a 3 s recipient check, bare LF refused. A text mail with
// bare LFs gets through at the library's limits.
TEST_F(RealPeersTest, PostfixBehindPostscreenTakesATextMail)
{
    const std::string conf = dir.File("postfix");
    RunCommand("mkdir -p " + conf + " " + dir.File("queue") + " " + dir.File("data") +
               " && chown postfix " + dir.File("data") + " && chmod 755 " + dir.path());
    WriteBytes(conf + "/main.cf",
               "queue_directory = " + dir.File("queue") + "\ndata_directory = " + dir.File("data") +
                   "\nmyhostname = mx.example.org\nrelay_domains = example.org\n"
                   "relay_transport = discard\ninet_protocols = ipv4\nmaillog_file = /dev/stdout\n"
                   "postscreen_access_list =\nsmtpd_forbid_bare_newline = reject\n"
                   "smtpd_forbid_bare_newline_exclusions =\n"
                   "smtpd_recipient_restrictions = sleep 3, reject_unauth_destination\n");
    WriteBytes(
        conf + "/master.cf",
        "smtp inet n - n - 1 postscreen\nsmtpd pass - - n - - smtpd\nqmgr unix n - n 300 1 qmgr\n"
        "cleanup unix n - n - 0 cleanup\nrewrite unix - - n - - trivial-rewrite\n"
        "proxymap unix - - n - - proxymap\ndiscard unix - - n - - discard\n"
        "anvil unix - - n - 1 anvil\npostlog unix-dgram n - n - 1 postlogd\n");
    RunCommand("postfix -c " + conf + " check 2>&1"); // makes the queue's folders
    StartDns({"--mx-host=example.org,mx.example.org", "--host-record=mx.example.org,127.0.0.1"});
    peers.push_back(std::make_unique<ChildProcess>(
        Strings{"/usr/lib/postfix/sbin/master", "-c", conf, "-d"}, dir.File("postfix.log")));
    ASSERT_TRUE(veltrane::test::WaitForPort("127.0.0.1", 25)) << ReadBytes(dir.File("postfix.log"));

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(sendMail("robot@example.com", "ops@example.org", "TEXT", "Report",
                       "first\nsecond\n.third\n", "", log.c_str()),
              1)
        << ReadBytes(log) << ReadBytes(dir.File("postfix.log"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
    EXPECT_EQ(LogEntries().at(1),
              "220-mx.example.org ESMTP Postfix\\r\\n220 mx.example.org ESMTP Postfix\r\n");
}

} // namespace
} // namespace sendwick
