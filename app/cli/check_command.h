#pragma once

// "veltrane --check": what would fail at the next runs of a folder's items,
// found before the night. It reads Schedule.dat and Veltrane.ini and, for
// each enabled item, checks what a run needs, found as a run finds it:
//
// - its schedule can make it due at all (ScheduleFaultOf);
// - the export utility is there and this user may run it (a relative path
//   from the folder, a bare name beside the schedule or on the search path);
//   with VerifyDump, the import utility too;
// - the item folder can be written, or made in its backup folder;
// - of a Data Pump item (export utility "expdp"): the import client beside
//   it can be run, the item folder is open to its group's writes (the
//   database's account writes the dump set there), and the Export Option
//   holds no keyword of the original export;
// - the archiver ("rar" in the folder) can be run, when the item compresses;
// - the recipients are mail addresses, and the mail library finds nothing
//   that would keep the mail from them: the sender and recipients its
//   sessions would refuse, a mail server text it cannot read or a server
//   without an address, or (without a server) a recipient domain that takes
//   no mail (a null MX) or whose exchangers cannot be found;
// - the FTP server can be found by name, its port well formed.
//
// - Veltrane.ini's MetricsFile is a file the metrics may be written to.
//
// It changes nothing, as a configuration test should not: no file is
// written, not even Veltrane.ini's defaults, and the folder's lock is not
// taken.
//
// With `connect` it also tries what only the servers and the file system can
// answer: for each enabled item, a session to its mail server as far as the
// login (greeting, STARTTLS as a run takes it, the item's login; no mail),
// logged to SendResult.Log with "LOGIN" entries; a login to its FTP server
// and into its remote folder (over SFTP the host key is checked against
// known_hosts as an upload checks it); and a file made and removed in the
// private folder (made if there is none yet) and beside MetricsFile.

#include <string>
#include <vector>

namespace veltrane {

// What the check found, one text per finding, each naming its item
// ("항목 3 (ORCL, SCOTT): ..."); empty when nothing would fail.
// The mail library is looked for in `libraryFolder` first (empty: the data
// folder), as a run looks for it.
std::vector<std::string> CheckFolder(const std::string& dataFolder,
                                     const std::string& libraryFolder = {}, bool connect = false);

// Prints one line per finding and a last line that sums them up; returns 0
// when nothing was found, 1 otherwise.
int CheckCommand(const std::string& dataFolder, const std::string& libraryFolder,
                 bool connect = false);

// "veltrane --test-mail N": a short plain mail to item N's recipients through
// the route its result mail takes (the same library call as a run, logged to
// SendResult.Log). Returns 0 when the library handed it over for every
// recipient, 1 when not (the reason on standard error), 2 when Schedule.dat
// cannot be read or has no item N.
int TestMailCommand(const std::string& dataFolder, const std::string& libraryFolder, int item);

} // namespace veltrane
