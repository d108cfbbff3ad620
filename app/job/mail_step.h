#pragma once

// The mails of a run: the report of a success ("]완료."), of a failure
// ("]실패.", or the step that failed), and of a late item ("]지연."), each
// with its result line.

#include "job/run_environment.h"
#include "job/run_files.h"
#include "report/result_mail.h"
#include "report/result_report.h"
#include "store/schedule_record.h"

#include <string>
#include <vector>

namespace veltrane {

// A mail to an item's recipients through the item's mail route, and its
// result line (service + `sentText` or `failedText`, and the library's reason
// when it gives one). Nothing is sent and no line written when the item
// names no recipient; tokens that are no mail address fail the line, after
// the others got the mail. The attachments go whole: a path with a ";" (the
// library's separator) by a link without one, a log too large to mail by
// its tail. Returns why the mail did not reach every recipient (the
// library's reason, the tokens that are no address); empty when it did, or
// when the item names nobody.
struct ReportMail
{
    std::string subject;
    std::string body; // the HTML report
    std::vector<std::string> attachments;
    const char* sentText;
    const char* failedText;
};
std::string SendReportMail(RunEnvironment& env, const ScheduleRecord& record,
                           const ReportMail& mail);

// Who an item's mails go to and by which route (recipients, server, login,
// the default sender), without subject, body or attachments: what every mail
// of a run starts from, and what --check has the mail library check.
ResultMail MailRouteOf(const ScheduleRecord& record);

// "[DB Backup : user@service]" + `end`.
std::string ReportSubject(const ScheduleRecord& record, const std::string& end);

// The facts every report of `record` carries: its service, user and
// description, and the free space of its folder, measured now (none when the
// folder cannot be measured).
ResultReport ReportFor(RunEnvironment& env, const ScheduleRecord& record, ReportKind kind);

// The report of the run's success, its log attached; `warning` names the
// first warning of an export that succeeded with warnings. Returns why it
// did not reach every recipient; empty when it did.
std::string MailSuccess(RunEnvironment& env, const ScheduleRecord& record, const RunFiles& files,
                        const std::string& warning);

// The report of a failure with its `cause`, to the recipients: the run's
// log attached when there is one (or `attachments`). `kind` is what failed:
// the backup (kFailure, the subject ends in "실패."), its compression
// (kCompressFailed, "압축 실패.") or its upload (kUploadFailed, "전송 실패."),
// and the page's headline names the same. The dump is shown when it exists.
void MailFailure(RunEnvironment& env, const ScheduleRecord& record, const RunFiles& files,
                 const std::string& cause, std::vector<std::string> attachments = {},
                 ReportKind kind = ReportKind::kFailure);

// The largest log attached whole; a longer one goes by its last
// kAttachedTailBytes, with a line at its start that says so.
inline constexpr std::uintmax_t kLargestAttachment = 16 << 20;
inline constexpr std::uintmax_t kAttachedTailBytes = 1 << 20;

} // namespace veltrane
