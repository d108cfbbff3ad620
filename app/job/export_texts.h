#pragma once

// What the export (and import) utility's output says: whether it ended well,
// why it failed, what it warned of.
//
// The texts by which the export utility says it ended well, in its Korean and
// English versions, compared exactly. They judge a run's output, and later
// tell the run's log apart from the log of a run that failed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

inline constexpr std::string_view kExportSuccessTexts[] = {
    " 정상적으로 종료", "Export terminated successfully", "성공적으로 끝났습"};
// The closing texts of a Data Pump job that ended well, English and Korean.
inline constexpr std::string_view kDataPumpSuccessTexts[] = {"\" successfully completed at ",
                                                             "에서 성공적으로 완료됨"};

// The database's refusals of a login, as a line of the utility's output
// starts with them: a wrong password, a locked account, an expired password,
// an account without CREATE SESSION; "UDE-" is how the Data Pump export
// reports them. Each try of such a login counts toward the profile's limit
// of failed logons, which locks the account: a run refused so is never
// retried before the item's next time.
inline constexpr std::string_view kLoginRefusedCodes[] = {"ORA-01017", "ORA-28000", "ORA-28001",
                                                          "ORA-01045", "UDE-01017", "UDE-28000",
                                                          "UDE-28001", "UDE-01045"};

// Whether the log file at `path` (code page 949, as the run writes it) holds
// one of kExportSuccessTexts, kDataPumpSuccessTexts or kLogAcceptedMark within its last
// kLogVerdictBytes (the utility's closing text is its last line), with no kLogFailedMark after it.
// False for a log that cannot be read.
inline constexpr std::size_t kLogVerdictBytes = 1 << 20;
bool LogHoldsExportSuccess(const std::string& path);

// What the run adds to the log of an export that printed its text of success
// and still failed (no dump, a time limit, a log cut short): the log then no
// longer tells of a good backup, to retention nor to a later start.
inline constexpr std::string_view kLogFailedMark = "[Veltrane] 백업 실패: ";
// Appends kLogFailedMark and `cause` as a line of its own; false when the log
// could not be written.
bool MarkLogFailed(const std::string& path, const std::string& cause);

// What the run adds to the log of a Data Pump job that completed with errors
// when the settings accept them as warnings: the log then tells of a good
// backup, whose first warning is the error that follows.
inline constexpr std::string_view kLogAcceptedMark = "[Veltrane] 경고로 받아들인 오류: ";
bool MarkLogAccepted(const std::string& path, const std::string& warning);

// The first warning of a good export's log (as FirstWarning), from its last
// kLogVerdictBytes; empty when there is none or it cannot be read.
std::string WarningOfLog(const std::string& path);

// The longest cause or warning a result line carries, in characters: a line
// of megabytes would fill the history files.
inline constexpr std::size_t kCauseCharacters = 300;

// Follows a utility's output as it comes, chunk by chunk, keeping only what
// judging it needs: whether a text of success came, the lines that name a
// cause or a warning. Memory stays small whatever the output's size.
class OutputWatch
{
public:
    // `prefix`: the utility's own messages ("EXP-", "IMP-"; none when
    // empty); `successTexts`: the texts that mean it ended well.
    OutputWatch(std::string prefix, std::vector<std::string> successTexts);

    void Feed(std::string_view chunk);
    // The output has ended: its last line counts even without a line end.
    void Finish();

    bool Succeeded() const { return succeeded_; }
    // A line started with one of kLoginRefusedCodes.
    bool LoginRefused() const { return loginRefused_; }
    // As FailureCause below.
    std::string Cause() const;
    // As FirstWarning below.
    std::string Warning() const;
    // The first "ORA-" line, and the last line of "ORA-", "UDE-" or "LRM-"
    // (a Data Pump client's words for its failures); empty when none came.
    std::string FirstDatabaseError() const;
    std::string LastCodedError() const;
    // The file names of the lines that name a dump piece alone (a Data Pump
    // job's list of its dump file set: a path ending in ".DMP").
    const std::vector<std::string>& ListedPieces() const { return listedPieces_; }

private:
    // Judges one line; its text without the blanks around it (empty for a
    // blank line), which the caller keeps as the last line.
    std::string_view Line(std::string_view line);
    bool HoldsAnyOf(std::string_view bytes) const;

    std::string prefix_;
    std::vector<std::string> successTexts_;
    std::size_t longestText_ = 0;
    // The search of all success texts at once: the window's length (the
    // shortest text's, at most 255) and how far each pair of bytes that
    // ends a window lets it move (none: the texts are searched one by one).
    std::size_t window_ = 0;
    std::vector<std::uint8_t> skip_;
    std::string carry_;   // the start of a line still to end (bounded)
    std::string overlap_; // the end of the output, for a text cut by a chunk
    bool succeeded_ = false;
    bool loginRefused_ = false;
    std::string database_; // the last "ORA-" line
    std::string utility_;  // the last line of the utility's own messages
    std::string last_;     // the last line with more than blanks
    std::string warning_;  // the first "EXP-" or "ORA-" line
    std::string firstDatabase_;
    std::string lastCoded_;
    std::vector<std::string> listedPieces_;
};

// Why a utility's run failed, from its output (UTF-8): the last "ORA-" line
// (the database's own reason) when there is one, else the last line of the
// utility's own messages (`prefix` such as "EXP-" or "IMP-"; none when empty)
// other than its closing summary (prefix "00000"), else the last line that
// holds more than blanks, else "출력 없음". Cut to kCauseCharacters.
std::string FailureCause(std::string_view output, std::string_view prefix);

// The first warning of a run that succeeded with warnings: its first "EXP-"
// or "ORA-" line, cut to kCauseCharacters; empty when there is none.
std::string FirstWarning(std::string_view output);

// `text` cut to `characters` UTF-8 characters, with "…" after a cut.
std::string CutToCharacters(std::string_view text, std::size_t characters);

} // namespace veltrane
