// Load and save of a full schedule file (32767 items), against the cost the
// same save would add if the cipher's key schedule were rebuilt for every
// password field instead of once.

#include "store/blowfish.h"
#include "store/schedule_file.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace veltrane;
using Clock = std::chrono::steady_clock;

namespace {

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

ScheduleTable MakeTable()
{
    ScheduleTable table;
    for (std::size_t i = 0; i < kMaxScheduleRecords; ++i) {
        auto r = std::make_shared<ScheduleRecord>();
        r->nNo = static_cast<std::int32_t>(i + 1);
        r->bEnabled = i % 2 == 0;
        r->strBackUpType = "매일";
        r->strTime = "02:00:00";
        r->strServiceName = "ORCL" + std::to_string(i);
        r->strID = "scott";
        r->strPWD = "tiger";
        r->strBackUpFolder = "/backup/oracle/";
        r->strLastBackUpTime = "2026-12-01 02:00:00";
        r->strProgramPath = "/opt/oracle/bin/exp";
        r->strMailReceiveList = "dba@example.kr;ops@example.kr";
        r->nReservedFiles = 7;
        r->strDescription = "야간 전체 백업";
        r->bUseSmtpServer = true;
        r->strSmtpUserID = "mailer";
        r->strSmtpUserPassword = "smtp-secret-" + std::to_string(i);
        r->strSmtpServer = "mail.example.kr";
        r->strFtpUserID = "upload";
        r->strFtpUserPassword = "ftp-secret";
        r->strFtpServer = "ftp.example.kr:21";
        r->strFtpLocation = "/backup";
        table.push_back(r);
    }
    return table;
}

} // namespace

int main()
{
    std::string folder = std::filesystem::temp_directory_path() / "veltrane-schedule-bench";
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/Schedule.dat";
    ScheduleTable table = MakeTable();

    double bestSave = 1e9, bestLoad = 1e9;
    for (int round = 0; round < 5; ++round) {
        auto start = Clock::now();
        if (const Status saved = SaveSchedule(path, table); !saved) {
            std::fprintf(stderr, "save failed: %s\n", saved.error().description.c_str());
            return 1;
        }
        bestSave = std::min(bestSave, MillisecondsSince(start));

        start = Clock::now();
        const Result<ScheduleTable> loaded = LoadSchedule(path);
        bestLoad = std::min(bestLoad, MillisecondsSince(start));
        if (!loaded || loaded->size() != table.size())
            return 1;
    }

    // What a key schedule per password field would cost: two per item.
    auto start = Clock::now();
    const std::uint8_t key[] = {'M', 'O', 'S', 'S', 'G', 'L', 'A', 'D', 'E'};
    Blowfish bf;
    for (std::size_t i = 0; i < 2 * kMaxScheduleRecords; ++i)
        (void)bf.SetKey(key);
    double perFieldKeys = MillisecondsSince(start);

    std::printf("items: %zu, file: %ju bytes\n", table.size(),
                static_cast<std::uintmax_t>(std::filesystem::file_size(path)));
    std::printf("save: %.1f ms (best of 5)\n", bestSave);
    std::printf("load: %.1f ms (best of 5)\n", bestLoad);
    std::printf("key schedule rebuilt per field (reference): %.1f ms, %.1fx the save\n",
                perFieldKeys, perFieldKeys / bestSave);
    std::filesystem::remove_all(folder);
    return 0;
}
