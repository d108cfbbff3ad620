#include "job/exe_cmd.h"
#include "platform/codepage.h"
#include "platform/process_tree.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace veltrane;
using Seconds = std::chrono::duration<double>;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;
using veltrane::test::Eventually;

namespace {

const std::string kChild = std::string("/usr/bin/python3 ") + VELTRANE_TEST_DATA_DIR + "/child.py ";

// Records every notification and message; `onAbort` may set bAbort.
struct Recorder : ExeCmdListener
{
    std::vector<std::string> chunks;
    int abortChecks = 0;
    std::vector<std::chrono::steady_clock::time_point> waits;
    std::function<void(bool&)> onAbort;
    std::function<void(const std::string&)> onChunk;
    bool abortWhileWaiting = false;
    // With the runner set: the code page bytes of the chunks, and the chunks
    // after which the runner had nothing more at hand.
    const CExeCmd* runner = nullptr;
    std::string raw;
    std::vector<std::size_t> lastAtHand;

    void ReceiveOutputs(std::string& CommandOutputs) override
    {
        if (runner != nullptr) {
            raw += runner->RawChunk();
            if (!runner->MoreAtHand())
                lastAtHand.push_back(chunks.size());
        }
        chunks.push_back(CommandOutputs);
        if (onChunk)
            onChunk(CommandOutputs);
    }
    void ProcessAbort(bool& bAbort) override
    {
        ++abortChecks;
        if (onAbort)
            onAbort(bAbort);
    }
    void WaitingForOutputs(bool& bAbort) override
    {
        waits.push_back(std::chrono::steady_clock::now());
        bAbort = bAbort || abortWhileWaiting;
    }
};

// The latest run's result, and its output ("" when nothing started).
CommandResult gLast;
std::string Execute(CExeCmd& cmd, const std::string& line = {})
{
    gLast = cmd.ExecuteCommand(line);
    return gLast.started ? cmd.Outputs() : std::string();
}

std::string Joined(const std::vector<std::string>& chunks)
{
    std::string all;
    for (const auto& chunk : chunks)
        all += chunk;
    return all;
}

int OpenDescriptorCount()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count - 1; // the listing's own descriptor
}

// Children of this process that have exited but were not reaped.
int ZombieChildren()
{
    int zombies = 0;
    DIR* dir = opendir("/proc");
    while (dirent* entry = readdir(dir)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || !std::getline(stat, line))
            continue;
        // pid (comm) state ppid ...; comm may hold blanks, so parse after ")".
        const auto close = line.rfind(')');
        char state = 0;
        int ppid = 0;
        if (sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == getpid() &&
            state == 'Z')
            ++zombies;
    }
    closedir(dir);
    return zombies;
}

bool ProcessGone(pid_t pid)
{
    return kill(pid, 0) != 0 && errno == ESRCH;
}

// Ended, not necessarily reaped: gone or a zombie.
bool ProcessEnded(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    return !std::getline(stat, line) || line.substr(line.rfind(')') + 1, 3) == " Z ";
}

// The pids on the first line of a child's output: its own, then those it started.
std::vector<pid_t> Pids(const std::string& output)
{
    std::istringstream line(output.substr(0, output.find('\n')));
    std::vector<pid_t> pids;
    for (pid_t pid = 0; line >> pid;)
        pids.push_back(pid);
    return pids;
}

// The longest time the listener went without a call while the runner waited.
Seconds LongestSilence(const Recorder& r, Steady::time_point start, Steady::time_point end)
{
    Seconds longest(0);
    for (const auto& wait : r.waits) {
        longest = std::max<Seconds>(longest, wait - start);
        start = wait;
    }
    return std::max<Seconds>(longest, end - start);
}

Seconds Timed(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::steady_clock::now() - start;
}

} // namespace

TEST(CommandRunner, ChildThatWritesNothingGivesOneEmptyChunk)
{
    Recorder r;
    CExeCmd cmd(&r);
    EXPECT_EQ(Execute(cmd, "/bin/true"), "");
    EXPECT_EQ(gLast.exitCode, 0);
    EXPECT_EQ(r.chunks, std::vector<std::string>{""});
    EXPECT_EQ(r.abortChecks, 1);
    EXPECT_TRUE(gLast.started);
    EXPECT_TRUE(Eventually([] { return ZombieChildren() == 0; }));
}

TEST(CommandRunner, ReadEndingInsideACharacterHandsItOutWholeWithTheNextChunk)
{
    Recorder r;
    CExeCmd cmd(&r);
    r.runner = &cmd;
    const std::string result = Execute(cmd, kChild + "split256");
    EXPECT_EQ(r.raw, std::string(255, 'A') + cp949::FromUtf8("매tail"));
    EXPECT_EQ(r.lastAtHand, (std::vector<std::size_t>{1, 2})); // one read, then the end
    ASSERT_EQ(r.chunks.size(), 3u);
    EXPECT_EQ(r.chunks[0], std::string(255, 'A'));
    EXPECT_EQ(r.chunks[1], "매tail");
    EXPECT_EQ(r.chunks[2], "");
    EXPECT_EQ(result, std::string(255, 'A') + "매tail");
    EXPECT_EQ(cmd.Outputs(), result);
}

TEST(CommandRunner, KoreanOutputIsReturnedAsText)
{
    Recorder r;
    CExeCmd cmd(&r);
    EXPECT_EQ(Execute(cmd, kChild + "korean"), "정상적으로 종료\nExport terminated successfully\n");
}

TEST(CommandRunner, LongMixedOutputLosesNoCharacterAndKeepsChunksSmall)
{
    Recorder r;
    CExeCmd cmd(&r);
    std::string expected;
    for (int i = 0; i < 5000; ++i)
        expected += "가나다 abc\n";
    EXPECT_EQ(Execute(cmd, kChild + "mixed"), expected);
    EXPECT_EQ(Joined(r.chunks), expected);
    ASSERT_GT(r.chunks.size(), 2u);
    for (const auto& chunk : r.chunks)
        EXPECT_LE(cp949::FromUtf8(chunk).size(), CExeCmd::kChunkBytes);
    EXPECT_EQ(r.chunks.back(), "");
    EXPECT_EQ(r.abortChecks, static_cast<int>(r.chunks.size()));
}

TEST(CommandRunner, LeadByteAtTheVeryEndIsNotDropped)
{
    Recorder r;
    CExeCmd cmd(&r);
    r.runner = &cmd;
    EXPECT_EQ(Execute(cmd, kChild + "lonelead"), "abc\xEF\xBF\xBD");
    EXPECT_EQ(r.raw, "abc\xB8");
    EXPECT_EQ(r.chunks, (std::vector<std::string>{"abc", "\xEF\xBF\xBD", ""}));
}

TEST(CommandRunner, UnassignedBytesBecomeReplacementCharacters)
{
    Recorder r;
    CExeCmd cmd(&r);
    r.runner = &cmd;
    EXPECT_EQ(Execute(cmd, kChild + "unassigned"), "x\xEF\xBF\xBD\xEF\xBF\xBD\n매\n");
    EXPECT_EQ(r.raw, "x\xA2\xE8\n\xB8\xC5\n"); // as the child wrote them
}

TEST(CommandRunner, StandardErrorJoinsOutputAndStandardInputIsEmpty)
{
    Recorder r;
    CExeCmd cmd(&r);
    EXPECT_EQ(Execute(cmd, kChild + "streams"), "out1\nerr1\nstdin:0\n");
}

TEST(CommandRunner, ShellCharactersArriveAsPlainArguments)
{
    veltrane::test::TempDir dir;
    const std::string target = dir.File("x");
    Recorder r;
    CExeCmd cmd(&r);
    const std::string line = kChild + R"(argv "two words" ; echo $(id) `id` | cat > )" + target +
                             R"( 'single' a\"b "c\\" "" d&&e)";
    EXPECT_EQ(Execute(cmd, line), "[two words]\n[;]\n[echo]\n[$(id)]\n[`id`]\n[|]\n[cat]\n"
                                  "[>]\n[" +
                                      target + "]\n['single']\n[a\"b]\n[c\\]\n[]\n[d&&e]\n");
    EXPECT_FALSE(veltrane::test::FileExists(target));
}

TEST(CommandRunner, ArgumentReplacesTheStoredCommandLineAndEmptyArgumentKeepsIt)
{
    Recorder r;
    CExeCmd cmd(&r);
    cmd.CommandLine("/bin/echo stored");
    EXPECT_EQ(cmd.CommandLine(), "/bin/echo stored");
    EXPECT_EQ(Execute(cmd, "/bin/echo given"), "given\n");
    EXPECT_EQ(cmd.CommandLine(), "/bin/echo given");
    EXPECT_EQ(Execute(cmd, ""), "given\n");
    EXPECT_EQ(Execute(cmd, "echo found-in-path"), "found-in-path\n");
}

TEST(CommandRunner, ProgramThatCannotBeStartedIsReportedAndKeepsPreviousOutput)
{
    const std::string notExecutable = std::string(VELTRANE_TEST_DATA_DIR) + "/not_executable.sh";
    const std::string lines[] = {"no-such-program-of-veltrane-tests", "/no/such/folder/prog",
                                 notExecutable, "   "};
    for (const std::string& line : lines) {
        Recorder r;
        CExeCmd cmd(&r);
        ASSERT_EQ(Execute(cmd, "/bin/echo before"), "before\n");
        r.chunks.clear();
        r.abortChecks = 0;
        const int descriptors = OpenDescriptorCount();

        EXPECT_EQ(Execute(cmd, line), "") << line;
        EXPECT_EQ(gLast.failure, "File or command not found") << line;
        EXPECT_TRUE(r.chunks.empty()) << line;
        EXPECT_EQ(r.abortChecks, 0) << line;
        EXPECT_EQ(cmd.Outputs(), "before\n") << line;
        EXPECT_EQ(OpenDescriptorCount(), descriptors) << line;
    }
}

TEST(CommandRunner, EmptyCommandLineIsReported)
{
    Recorder r;
    CExeCmd cmd(&r);
    EXPECT_EQ(Execute(cmd), "");
    EXPECT_EQ(gLast.failure, "Command Line empty");
    EXPECT_TRUE(r.chunks.empty());
}

TEST(CommandRunner, PipeThatCannotBeCreatedIsReportedWithItsErrorNumber)
{
    Recorder r;
    CExeCmd cmd(&r);
    // The sanitizers' type check needs a descriptor the first time it meets a
    // class; let it meet the recorder while descriptors are still free.
    std::string warmUp = "warm-up";
    static_cast<ExeCmdListener&>(r).ReceiveOutputs(warmUp);
    r.chunks.clear();

    // Lower the descriptor limit to the lowest free descriptor: no new one fits.
    int lowestFree = 0;
    while (fcntl(lowestFree, F_GETFD) != -1)
        ++lowestFree;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const std::string result = Execute(cmd, "/bin/true");
    setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_EQ(result, "");
    EXPECT_EQ(gLast.failure, "CreatePipe failed. Error: 24"); // EMFILE
    EXPECT_TRUE(r.chunks.empty());
}

TEST(CommandRunner, RunLastsUntilAGrandchildClosesTheInheritedOutput)
{
    Recorder r;
    CExeCmd cmd(&r);
    std::string result;
    const Seconds took = Timed([&] { result = Execute(cmd, kChild + "grandchild"); });
    EXPECT_EQ(result, "early\nlate\n");
    EXPECT_GE(took.count(), 0.9);
    EXPECT_EQ(r.chunks.back(), "");
}

TEST(CommandRunner, AbortDuringTheFirstChunkTerminatesTheChildAtOnce)
{
    Recorder r;
    r.onAbort = [](bool& bAbort) { bAbort = true; };
    CExeCmd cmd(&r);
    std::string result;
    const Seconds took = Timed([&] { result = Execute(cmd, kChild + "pid-then-wait"); });

    EXPECT_LT(took.count(), 10.0); // the child would sleep 30 s
    EXPECT_FALSE(gLast.exitCode.has_value());
    ASSERT_EQ(r.chunks.size(), 1u);
    EXPECT_EQ(result, r.chunks[0]);
    const pid_t child = std::stoi(result);
    EXPECT_TRUE(Eventually([&] { return ProcessGone(child); }));
}

// The child's own end ends the run, within the time limit (1 s here; every
// process of these children ends on SIGTERM, so the stop's grace is not
// waited for), and nothing the child started outlives the run.
TEST(CommandRunner, RunEndsWithTheChildAndNothingItStartedOutlivesIt)
{
    struct Case
    {
        const char* arguments;
        std::chrono::milliseconds limit;
        std::optional<int> exitCode; // nullopt: stopped at the time limit
        double minSeconds;
        double maxSeconds;
        std::size_t firstStray = 1; // pids from here on are named (not those of the child's group)
    };
    const Case cases[] = {
        {"close-then-exit 1.5 3", 0ms, 3, 1.4, 4.0}, // a wrapper that redirected its output
        {"close-then-exit 30 0", 1000ms, std::nullopt, 0.9, 3.0},
        {"close-then-exit 0 5", 24h * 365 * 1000, 5, 0.0, 3.0}, // too long to count: no limit
        {"signal", 0ms, 128 + SIGTERM, 0.0, 3.0},
        {"background", 0ms, 0, 0.0, 3.0},
        {"family exit", 1000ms, std::nullopt, 0.9, 3.0, 2}, // holders left behind, one setsid
        {"family stay", 1000ms, std::nullopt, 0.9, 3.0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        Recorder r;
        CExeCmd cmd(&r);
        cmd.TimeLimit(c.limit);
        const auto start = Steady::now();
        const std::string result = Execute(cmd, kChild + c.arguments);
        const auto end = Steady::now();
        const Seconds took = end - start;

        const std::vector<pid_t> pids = Pids(result);
        ASSERT_FALSE(pids.empty());
        EXPECT_EQ(result.find('\n'), result.size() - 1); // the output written before is kept
        EXPECT_EQ(gLast.exitCode, c.exitCode);
        EXPECT_EQ(gLast.timedOut, !c.exitCode.has_value());
        EXPECT_GE(took.count(), c.minSeconds);
        EXPECT_LT(took.count(), c.maxSeconds);
        EXPECT_LT(LongestSilence(r, start, end).count(), 0.6);
        std::vector<std::string> expected;
        for (std::size_t i = c.firstStray; i < pids.size(); ++i)
            expected.push_back(std::to_string(pids[i]) + " (sleep)");
        std::vector<std::string> strays = gLast.strays;
        std::sort(strays.begin(), strays.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(strays, expected);
        for (pid_t pid : pids)
            EXPECT_TRUE(ProcessGone(pid)) << pid;
        EXPECT_EQ(ZombieChildren(), 0);

        // A run that cannot start tells of itself, not of the run before.
        Execute(cmd, "no-such-program-of-veltrane-tests");
        EXPECT_FALSE(gLast.timedOut);
        EXPECT_FALSE(gLast.exitCode.has_value());
        EXPECT_TRUE(gLast.strays.empty());
    }
}

// The program's way out: from the run's own listener (the window ends inside
// a run) or from another thread.
TEST(CommandRunner, StoppingRunningChildrenEndsTheRunInProgress)
{
    for (const bool fromListener : {true, false}) {
        SCOPED_TRACE(fromListener ? "from the listener" : "from another thread");
        Recorder r;
        std::vector<pid_t> pids;
        std::atomic<bool> started{false};
        bool endedWhenStopped = false;
        const auto stopAll = [&] {
            posix::StopRunningChildren(2000);
            endedWhenStopped = std::all_of(pids.begin(), pids.end(), ProcessEnded);
        };
        r.onChunk = [&](const std::string& chunk) {
            if (started || chunk.empty())
                return;
            pids = Pids(chunk);
            started = true;
            if (fromListener)
                stopAll();
        };
        std::thread stopper([&] {
            if (!fromListener && Eventually([&] { return started.load(); }))
                stopAll();
        });
        CExeCmd cmd(&r);
        const Seconds took = Timed([&] { Execute(cmd, kChild + "family stay"); });
        stopper.join();

        EXPECT_EQ(pids.size(), 3u);
        EXPECT_TRUE(endedWhenStopped);
        EXPECT_LT(took.count(), 4.0); // the child would stay 30 s
        EXPECT_EQ(gLast.exitCode, 128 + SIGTERM);
        for (pid_t pid : pids)
            EXPECT_TRUE(ProcessGone(pid)) << pid;
        EXPECT_EQ(ZombieChildren(), 0);
    }
}

TEST(CommandRunner, RunBrokenOffByAListenerExceptionLeavesNothingRunning)
{
    Recorder r;
    std::vector<pid_t> pids;
    r.onChunk = [&pids](const std::string& chunk) {
        pids = Pids(chunk);
        throw std::runtime_error("listener failed");
    };
    CExeCmd cmd(&r);
    EXPECT_THROW(Execute(cmd, kChild + "family stay"), std::runtime_error);
    EXPECT_EQ(pids.size(), 3u);
    for (pid_t pid : pids)
        EXPECT_TRUE(ProcessGone(pid)) << pid;
}

TEST(CommandRunner, SilentChildLeavesTheListenerItsChanceToYield)
{
    Recorder r;
    CExeCmd cmd(&r);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Execute(cmd, kChild + "silent"), "done\n");

    // Two seconds of silence in slices of 100 ms; allow for a loaded machine.
    EXPECT_GE(r.waits.size(), 8u);
    EXPECT_LT(LongestSilence(r, start, r.waits.empty() ? start : r.waits.back()).count(), 0.6);
}

TEST(CommandRunner, AbortWhileWaitingEndsASilentRun)
{
    Recorder r;
    r.abortWhileWaiting = true;
    CExeCmd cmd(&r);
    std::string result;
    const Seconds took = Timed([&] { result = Execute(cmd, kChild + "silent"); });
    EXPECT_EQ(result, "");
    EXPECT_TRUE(r.chunks.empty());
    EXPECT_LT(took.count(), 1.5);
    EXPECT_TRUE(Eventually([] { return ZombieChildren() == 0; }));
}

TEST(CommandRunner, RepeatedRunsLeakNoDescriptorAndNoZombie)
{
    Recorder r;
    CExeCmd cmd(&r);
    const int descriptors = OpenDescriptorCount();
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(Execute(cmd, "/bin/echo " + std::to_string(i)), std::to_string(i) + "\n");
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    EXPECT_TRUE(Eventually([] { return ZombieChildren() == 0; }));
}

TEST(CommandRunner, RunsWithoutAListener)
{
    Recorder r;
    CExeCmd cmd;
    EXPECT_EQ(Execute(cmd, kChild + "split256"), std::string(255, 'A') + "매tail");
    EXPECT_TRUE(r.chunks.empty());
}
