// What the item editor does with an item: it shows the item's fields, asks
// before a changed form is discarded, refuses a count it cannot keep and a
// schedule that can never run, and writes back only what the operator
// changed. The form itself is built in
// item_edit_form.cpp.

#include "editor/item_edit.h"

#include "editor/qt_text.h"
#include "editor/question.h"
#include "schedule/schedule_fault.h"
#include "schedule/schedule_text.h"
#include "store/stored_fields.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTime>
#include <QTimeEdit>
#include <limits>

namespace veltrane {
namespace {

// The count of backups to keep as typed: a whole number the field can hold
// and the retention can use (0 keeps every backup); nothing else.
std::optional<std::int16_t> ReservedFilesOf(const QString& text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    const QString trimmed = text.trimmed();
    if (!digits.match(trimmed).hasMatch())
        return std::nullopt;
    const int value = trimmed.toInt();
    if (value > std::numeric_limits<std::int16_t>::max())
        return std::nullopt;
    return static_cast<std::int16_t>(value);
}

// A time text as the schedule stores it ("hh:mm:ss"); hand-edited files may
// drop the leading zero of the hour or the seconds.
QTime ParseTime(const QString& text)
{
    for (const QString& format : {QStringLiteral("H:mm:ss"), QStringLiteral("H:mm")}) {
        QTime time = QTime::fromString(text.trimmed(), format);
        if (time.isValid())
            return time;
    }
    return {};
}

} // namespace

int FindListIndex(QComboBox& list, const QString& text)
{
    int index = -1;
    if (!text.isEmpty()) {
        for (int i = 0; i < list.count(); ++i) {
            if (list.itemText(i) == text) {
                index = i;
                break;
            }
        }
    }
    list.setCurrentIndex(index);
    return index;
}

void ItemEdit::LoadRecord(const ScheduleRecord& record)
{
    properties_ = PropertiesFromRecord(record);
}

bool ItemEdit::ShowEditor()
{
    result_ = false;
    CopyPropertiesToControls();
    exec();
    return result_;
}

void ItemEdit::CopyPropertiesToControls()
{
    const ItemProperties& p = properties_;
    txtServiceName->setText(ToQString(p.strServiceName));
    txtUserID->setText(ToQString(p.strID));
    txtUserPWD->setText(ToQString(p.strPWD));
    txtProgramPath->setText(ToQString(p.strProgramPath));
    txtBackFolder->setText(ToQString(p.strBackUpFolder));
    txtTables->setText(ToQString(p.strTables));
    txtExecutionOption->setText(ToQString(p.strExecutionOption));
    txtReservedFiles->setText(QString::number(p.nReservedFiles));
    txtDescription->setPlainText(ToQString(p.strDescription));
    txtMailReceiver->setText(ToQString(p.strMailReceiveList));
    txtSmtpUserID->setText(ToQString(p.strSmtpUserID));
    txtSmtpUserPassword->setText(ToQString(p.strSmtpUserPassword));
    txtSmtpServer->setText(ToQString(p.strSmtpServer));
    txtFTPUserID->setText(ToQString(p.strFtpUserID));
    txtFTPUserPassWord->setText(ToQString(p.strFtpUserPassword));
    txtFTPServer->setText(ToQString(p.strFtpServer));
    txtFTPLocation->setText(ToQString(p.strFtpLocation));

    chkThroughSMTPServer->setChecked(p.bUseSmtpServer);
    chkDataTransfer->setChecked(p.bDataTransfer);
    chkDataCompress->setChecked(p.bDataCompress);

    const QTime time = ParseTime(ToQString(p.strTime));
    dtpTime->setTime(time.isValid() ? time : QTime(0, 0, 0));

    FindListIndex(*cmbTimeType, ToQString(p.strBackUpType));
    FindListIndex(*cmbWeek, ToQString(p.strWeek));
    FindListIndex(*cmbDay, QString::number(p.nDay));

    // The reactions run also when a value did not change the control, so the
    // visible lists and the enabled boxes always follow the stored values.
    OnTimeTypeChanged();
    OnThroughSmtpServerToggled(p.bUseSmtpServer);
    OnDataTransferToggled(p.bDataTransfer);

    shown_ = ControlValues();
    shownReservedFiles_ = txtReservedFiles->text();
}

bool ItemEdit::Changed() const
{
    return ControlValues() != shown_ || txtReservedFiles->text() != shownReservedFiles_;
}

ItemProperties ItemEdit::ControlValues() const
{
    ItemProperties p = properties_;
    p.strServiceName = FromQString(txtServiceName->text());
    p.strID = FromQString(txtUserID->text());
    p.strPWD = FromQString(txtUserPWD->text());
    p.strProgramPath = FromQString(txtProgramPath->text());
    p.strBackUpFolder = FromQString(txtBackFolder->text());
    p.strTables = FromQString(txtTables->text());
    p.strExecutionOption = FromQString(txtExecutionOption->text());
    p.strDescription = FromQString(txtDescription->toPlainText());
    p.strMailReceiveList = FromQString(txtMailReceiver->text());
    p.strSmtpUserID = FromQString(txtSmtpUserID->text());
    p.strSmtpUserPassword = FromQString(txtSmtpUserPassword->text());
    p.strSmtpServer = FromQString(txtSmtpServer->text());
    p.strFtpUserID = FromQString(txtFTPUserID->text());
    p.strFtpUserPassword = FromQString(txtFTPUserPassWord->text());
    p.strFtpServer = FromQString(txtFTPServer->text());
    p.strFtpLocation = FromQString(txtFTPLocation->text());

    // Whatever the kind, every list gives its value: a daily item keeps the
    // weekday and day that the hidden lists hold.
    p.strBackUpType = FromQString(cmbTimeType->currentText());
    p.strWeek = FromQString(cmbWeek->currentText());
    bool isDay = false;
    const short day = cmbDay->currentText().toShort(&isDay);
    if (isDay)
        p.nDay = day;
    p.strTime = FromQString(dtpTime->time().toString(QString::fromLatin1(kTimeFormat)));
    if (auto reserved = ReservedFilesOf(txtReservedFiles->text()))
        p.nReservedFiles = *reserved;

    p.bUseSmtpServer = chkThroughSMTPServer->isChecked();
    p.bDataTransfer = chkDataTransfer->isChecked();
    p.bDataCompress = chkDataCompress->isChecked();
    return p;
}

ItemProperties ItemEdit::ResultProperties() const
{
    // Only the fields the operator changed are taken: a control shows some
    // stored values only approximately (a weekday or kind it does not list,
    // a time it cannot read, a count it would refuse), and writing its view
    // back would change an item nobody touched.
    ItemProperties result = properties_;
    const ItemProperties now = ControlValues();
    ForEachItemProperty([&](const StoredField&, auto field) {
        if (now.*field != shown_.*field)
            result.*field = now.*field;
    });
    // A new item has no time yet; the picker's midnight is what the operator
    // saw and accepted.
    if (result.strTime.empty())
        result.strTime = now.strTime;
    return result;
}

void ItemEdit::CopyControlsToProperties()
{
    properties_ = ResultProperties();
}

bool ItemEdit::RefuseScheduleFault()
{
    // An item whose schedule can never make it due would sit in the list,
    // enabled and looking well, and never run.
    ScheduleRecord schedule;
    ApplyProperties(ResultProperties(), schedule);
    const std::optional<ScheduleFault> fault = ScheduleFaultOf(schedule);
    if (!fault)
        return false;
    QMessageBox::warning(this, QStringLiteral("Veltrane"),
                         QStringLiteral("BackUp Time: ") + ToQString(fault->text));
    QWidget* field = cmbTimeType;
    if (fault->field == ScheduleField::Weekday)
        field = cmbWeek;
    else if (fault->field == ScheduleField::Day)
        field = cmbDay;
    else if (fault->field == ScheduleField::Time) {
        field = dtpTime;
        // The picker always shows a time; the stored one it could not show
        // is refused, so the one it shows is taken from now on.
        shown_.strTime.clear();
    }
    field->setFocus();
    return true;
}

void ItemEdit::OnTimeTypeChanged()
{
    const QString kind = cmbTimeType->currentText();
    cmbWeek->setVisible(kind == QString::fromUtf8(kKindWeekly));
    cmbDay->setVisible(kind == QString::fromUtf8(kKindMonthly));
    // The time shows only the parts the kind runs by; the rest keep their
    // values, so a kind chosen back finds the time as it was. A monthly item
    // runs from its day's start, whatever its time.
    const QString format = kind == QString::fromUtf8(kKindDaily) ? QStringLiteral("HH시")
                           : kind == QString::fromUtf8(kKindHourly)
                               ? QStringLiteral("mm분")
                               : QString::fromLatin1(kTimeFormat);
    if (dtpTime->displayFormat() != format) {
        const QTime time = dtpTime->time();
        dtpTime->setDisplayFormat(format);
        dtpTime->setTime(time);
    }
    dtpTime->setEnabled(kind != QString::fromUtf8(kKindMonthly));
    lblScheduleUse->setText(ToQString(ScheduleUseText(FromQString(kind))));
}

void ItemEdit::OnThroughSmtpServerToggled(bool checked)
{
    for (QLineEdit* box : {txtSmtpUserID, txtSmtpUserPassword, txtSmtpServer})
        box->setEnabled(checked);
}

void ItemEdit::OnDataTransferToggled(bool checked)
{
    for (QLineEdit* box : {txtFTPUserID, txtFTPUserPassWord, txtFTPServer, txtFTPLocation})
        box->setEnabled(checked);
}

void ItemEdit::OnBrowseFolder()
{
    const std::optional<QString> folder = chooser_(
        this, QStringLiteral("백업 파일이 저장될 폴더를 선택해 주세요."), txtBackFolder->text());
    if (!folder || folder->isEmpty())
        return;
    // The backup run joins the folder and the item's name directly, so the
    // folder ends with exactly one separator, also when the root is chosen.
    QString path = *folder;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    txtBackFolder->setText(path);
}

void ItemEdit::OnOk()
{
    // A count the retention cannot use is refused here, with the dialog left
    // open, rather than taken as 0 (which keeps every backup) or dropped.
    if (txtReservedFiles->text() != shownReservedFiles_ &&
        !ReservedFilesOf(txtReservedFiles->text())) {
        QMessageBox::warning(this, QStringLiteral("Veltrane"),
                             QStringLiteral("Reserved Backup Files에는 0부터 32767까지의 숫자만 "
                                            "넣을 수 있습니다. (0은 모든 백업을 보관)"));
        txtReservedFiles->setFocus();
        txtReservedFiles->selectAll();
        return;
    }
    if (RefuseScheduleFault())
        return;
    CopyControlsToProperties();
    result_ = true;
    accept();
}

void ItemEdit::reject()
{
    if (Changed() && !AskYesNo(this, QStringLiteral("변경 내용을 버릴까요?")))
        return;
    QDialog::reject();
}

} // namespace veltrane
