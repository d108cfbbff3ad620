#include "window/log_viewer.h"

#include "editor/qt_text.h"
#include "job/run_files.h"
#include "platform/codepage.h"
#include "platform/file_io.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {
namespace {

constexpr std::string_view kLogSuffix = ".LOG";
constexpr std::size_t kStampLength = 14; // yyyyMMddhhmmss

bool IsExportLogName(std::string_view name, std::string_view prefix)
{
    if (!name.starts_with(prefix) || !name.ends_with(kLogSuffix) ||
        name.size() != prefix.size() + kStampLength + kLogSuffix.size())
        return false;
    const std::string_view stamp = name.substr(prefix.size(), kStampLength);
    return std::all_of(stamp.begin(), stamp.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One decimal place of MiB, or KiB below one MiB.
QString SizeText(std::uint64_t bytes)
{
    if (bytes < 1024 * 1024)
        return QString::number((bytes + 1023) / 1024) + QStringLiteral(" KiB");
    return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 1) +
           QStringLiteral(" MiB");
}

} // namespace

Result<std::string> LatestLogOf(const ScheduleRecord& record, const std::string& dataFolder)
{
    Result<std::string> folder = ItemFolderOf(record, dataFolder);
    if (!folder)
        return folder.error();
    DIR* dir = opendir(folder->c_str());
    if (dir == nullptr) {
        if (errno == ENOENT)
            return std::string();
        return SystemError("Cannot read the folder " + *folder, "LatestLogOf", errno);
    }
    // The stamp sorts by time: the greatest name is the newest run.
    const std::string prefix = record.strID + "_";
    std::string newest;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (IsExportLogName(name, prefix) && name > newest)
            newest = name;
    }
    closedir(dir);
    return newest.empty() ? std::string() : *folder + "/" + newest;
}

Result<LogTail> ReadLogTail(const std::string& path, std::size_t limit)
{
    // Never through a link and never a FIFO: either would let whoever can
    // write the item folder show the window another file, or freeze it.
    const Result<int> opened = OpenRegularFile(path, O_RDONLY);
    if (!opened)
        return Error{opened.error().description, "ReadLogTail", opened.error().code};
    const int fd = *opened;
    LogTail tail;
    struct stat st
    {};
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        return SystemError("Cannot read " + path, "ReadLogTail", error);
    }
    tail.size = static_cast<std::uint64_t>(st.st_size);
    tail.cut = tail.size > limit;
    const off_t from = tail.cut ? static_cast<off_t>(tail.size - limit) : 0;
    std::string bytes(tail.cut ? limit : static_cast<std::size_t>(tail.size), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n =
            pread(fd, bytes.data() + got, bytes.size() - got, from + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            return SystemError("Cannot read " + path, "ReadLogTail", error);
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    bytes.resize(got);
    // A cut starts at a line: a line feed is never part of a double-byte
    // character, so the conversion starts on a character too.
    if (tail.cut) {
        const std::size_t newline = bytes.find('\n');
        bytes.erase(0, newline == std::string::npos ? 0 : newline + 1);
    }
    bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
    tail.text = cp949::ToUtf8(bytes);
    return tail;
}

std::shared_ptr<ScheduleRecord> ItemOfResultLine(const ScheduleTable& table, std::string_view line)
{
    // Past the time stamp "[yyyy-MM-dd hh:mm:ss] ".
    if (const std::size_t close = line.find("] "); line.starts_with('[') && close != line.npos)
        line.remove_prefix(close + 2);
    std::shared_ptr<ScheduleRecord> best;
    bool bestNamesUser = false;
    for (const auto& record : table) {
        const std::string& service = record->strServiceName;
        if (service.empty() || !line.starts_with(service))
            continue;
        const bool namesUser =
            !record->strID.empty() && line.find(record->strID + "_") != line.npos;
        if (best == nullptr || service.size() > best->strServiceName.size() ||
            (service.size() == best->strServiceName.size() && namesUser && !bestNamesUser)) {
            best = record;
            bestNamesUser = namesUser;
        }
    }
    return best;
}

void ShowLatestLog(QWidget* parent, const ScheduleRecord& record, const std::string& dataFolder)
{
    const QString item = ToQString(record.strServiceName + " / " + record.strID);
    const auto say = [&](const QString& text) {
        QMessageBox::information(parent, QStringLiteral("Veltrane"), text);
    };
    const Result<std::string> path = LatestLogOf(record, dataFolder);
    if (!path) {
        say(item + QStringLiteral("의 로그를 찾을 수 없습니다: ") +
            ToQString(path.error().description));
        return;
    }
    if (path->empty()) {
        say(item + QStringLiteral("의 로그가 없습니다. 아직 백업한 적이 없거나 로그가 "
                                  "지워졌습니다."));
        return;
    }
    const Result<LogTail> tail = ReadLogTail(*path);
    if (!tail) {
        say(item + QStringLiteral("의 로그를 읽을 수 없습니다: ") +
            ToQString(tail.error().description));
        return;
    }

    // Modeless, and one per log asked for: a run, a box or the editor go on
    // beside it.
    auto* viewer = new QDialog(parent);
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->setWindowTitle(QStringLiteral("로그 보기 - ") + item);
    auto* layout = new QVBoxLayout(viewer);
    QString heading = ToQString(*path);
    if (tail->cut)
        heading += QStringLiteral("\n로그가 커서 끝부분 %1만 보여 줍니다 (전체 %2).")
                       .arg(SizeText(kLogViewLimit), SizeText(tail->size));
    auto* label = new QLabel(heading);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    layout->addWidget(label);
    auto* text = new QPlainTextEdit;
    text->setObjectName(QStringLiteral("logText"));
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    text->setPlainText(ToQString(tail->text));
    text->moveCursor(QTextCursor::End);
    layout->addWidget(text, 1);
    auto* buttons = new QDialogButtonBox;
    buttons->addButton(QStringLiteral("닫기"), QDialogButtonBox::RejectRole);
    QObject::connect(buttons, &QDialogButtonBox::rejected, viewer, &QDialog::close);
    layout->addWidget(buttons);
    viewer->resize(760, 520);
    viewer->show();
}

} // namespace veltrane
