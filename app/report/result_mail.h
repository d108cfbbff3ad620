#pragma once

// Mailing the result report through the mail library.

#include <functional>
#include <string>
#include <vector>

namespace veltrane {

class LibraryBinder;

inline constexpr const char* kMailLogFileName = "SendResult.Log";

// What the backup run hands to the mail step (UTF-8 texts; the attachment is
// a path).
struct ResultMail
{
    std::string recipients; // ";"-separated
    std::string subject;
    std::string body; // the HTML report
    std::string attachments;
    std::string sender; // empty: "Veltrane <user@server>"
    bool useSmtpServer = false;
    std::string smtpUser;
    std::string smtpPassword;
    std::string smtpServer;
};

// Where and how the mail step runs: the library binding, the program folder
// that holds the session log, how an error reaches the operator, and what the
// run's thread does while the library works (its Idle).
struct MailContext
{
    LibraryBinder& library;
    std::string programFolder;
    std::function<void(const std::string&)> showMessage;
    std::function<void()> yield;
};

// What a recipient list holds, split at ";" as the mail library splits it.
// A token whose first "@" stands at its start or nowhere is no mail address
// (the library passes over it); a token of blanks only is no recipient at all.
struct RecipientCheck
{
    bool anyRecipient = false; // some token is more than blanks
    bool anyAddress = false;   // some token is a mail address
    std::vector<std::string> notAddresses;
};
RecipientCheck CheckRecipients(const std::string& recipients);

// The sender used when none is given: "Veltrane <" + user + "@" + server + ">",
// with the server's scheme and port left out ("smtps://mail.x.kr:465" gives
// "mail.x.kr").
std::string DefaultSender(const std::string& smtpUser, const std::string& smtpServer);

// What became of a mail: sent to every recipient or not, and the library's
// reason (UTF-8): why it failed, or a problem beside a mail that went out (a
// session log that cannot be written). Empty when there is nothing to say,
// or the library is too old to say it.
struct MailOutcome
{
    bool sent = false;
    std::string reason;
};

// What the mail library finds would keep `mail` from its recipients before
// any server is asked (CheckMail or CheckMailViaSMTP, by the mail's route),
// from the same sender, recipients and server texts that SendResultMail
// hands over: one line per finding (UTF-8), empty when none. A library or
// check that cannot be found is a finding of its own.
std::vector<std::string> CheckResultMail(const ResultMail& mail, LibraryBinder& library);

// Sends the mail with SendMailViaSMTP (through the item's server, with its
// login) or SendMail (straight to each recipient's mail exchanger), body type
// "HTML", logging the sessions to SendResult.Log in the program folder. Texts
// go to the library in code page 949, paths as they are. Sent when the
// library reports the mail handed over for every recipient. A library or
// entry point that cannot be found is shown to the operator and is a mail
// not sent, with that reason.
MailOutcome SendResultMail(const ResultMail& mail, const MailContext& context);

} // namespace veltrane
