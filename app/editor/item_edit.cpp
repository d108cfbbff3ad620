#include "editor/item_edit.h"

#include "editor/qt_text.h"
#include "editor/question.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QTime>
#include <QTimeEdit>
#include <limits>

namespace veltrane {
namespace {

const char* const kWeekdays[] = {"일", "월", "화", "수", "목", "금", "토"};
constexpr int kLastDay = 30; // the day list offers no 31
const QString kTimeFormat = QStringLiteral("HH:mm:ss");

// Masked boxes show a dot for every character, whatever the platform style's
// own mask character is.
class DotPasswordStyle : public QProxyStyle
{
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return 0x25CF; // ●
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// The eye of a password box's button that shows its text.
QIcon EyeIcon()
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(70, 70, 70), 1.5));
    QPainterPath lid;
    lid.moveTo(1.5, 8);
    lid.quadTo(8, 1, 14.5, 8);
    lid.quadTo(8, 15, 1.5, 8);
    painter.drawPath(lid);
    painter.setBrush(QColor(70, 70, 70));
    painter.drawEllipse(QPointF(8, 8), 2.5, 2.5);
    painter.end();
    return QIcon(pixmap);
}

// A password box: dots, and a button at its end that shows the text while it
// is pressed in.
void MakePasswordBox(QLineEdit* box, QStyle* dots)
{
    box->setEchoMode(QLineEdit::Password);
    box->setStyle(dots);
    QAction* show = box->addAction(EyeIcon(), QLineEdit::TrailingPosition);
    show->setObjectName(QStringLiteral("showPassword"));
    show->setCheckable(true);
    show->setToolTip(QStringLiteral("비밀번호 보기"));
    QObject::connect(show, &QAction::toggled, box, [box, show](bool shown) {
        box->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
        show->setToolTip(shown ? QStringLiteral("비밀번호 가리기")
                               : QStringLiteral("비밀번호 보기"));
    });
}

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

// Keeps the fields the operator left alone as they came in: a control shows
// some stored values only approximately (a weekday or kind it does not list,
// a time it cannot read, a count it would refuse), and writing its view back
// would change an item nobody touched. `shown` is what the controls showed
// when the dialog opened, `now` what they show.
template <typename... Fields>
void TakeChanged(ItemProperties& stored, const ItemProperties& shown, const ItemProperties& now,
                 Fields... fields)
{
    ((stored.*fields = now.*fields == shown.*fields ? stored.*fields : now.*fields), ...);
}

std::optional<QString> ChooseFolderWithQt(QWidget* parent, const QString& prompt,
                                          const QString& start)
{
    QString folder =
        QFileDialog::getExistingDirectory(parent, prompt, start, QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return std::nullopt;
    return folder;
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

QLabel* Caption(const char* text)
{
    return new QLabel(QString::fromUtf8(text));
}

// A caption with its control below it.
void AddLabelled(QGridLayout* grid, int row, int column, const char* caption, QWidget* control,
                 int columnSpan = 1)
{
    grid->addWidget(Caption(caption), row, column, 1, columnSpan);
    grid->addWidget(control, row + 1, column, 1, columnSpan);
}

QLineEdit* NewLineEdit(const char* name)
{
    auto* edit = new QLineEdit;
    edit->setObjectName(QString::fromLatin1(name));
    // A box cuts longer texts at its maximum length (32767 by default), and
    // OK would then store the cut text: a long hand-made table or recipient
    // list must come back whole.
    edit->setMaxLength(std::numeric_limits<int>::max());
    return edit;
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

ItemEdit::ItemEdit(QWidget* parent) : QDialog(parent), chooser_(ChooseFolderWithQt)
{
    setWindowTitle(QStringLiteral("Veltrane"));

    auto* grid = new QGridLayout(this);
    grid->addWidget(CreateGeneralGroup(), 0, 0);
    grid->addWidget(CreateOptionsGroup(), 1, 0);
    grid->addWidget(CreateLogGroup(), 0, 1);
    grid->addWidget(CreateTransferGroup(), 1, 1);

    cmdOK = new QPushButton(QStringLiteral("확인"));
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdCancel = new QPushButton(QStringLiteral("취소"));
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    grid->addLayout(buttons, 2, 0, 1, 2);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    // Created after the boxes, so it is destroyed after them.
    auto* dots = new DotPasswordStyle;
    dots->setParent(this);
    for (QLineEdit* box : {txtUserPWD, txtSmtpUserPassword, txtFTPUserPassWord})
        MakePasswordBox(box, dots);

    FillLists();
    ConnectReactions();
    InstallEnterAsTab();
    // Enter moves on to the next box, so Ctrl+Enter is the keyboard's OK.
    for (const QKeySequence& keys :
         {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &ItemEdit::OnOk);
}

QGroupBox* ItemEdit::CreateGeneralGroup()
{
    auto* group = new QGroupBox(QStringLiteral("General"));
    auto* grid = new QGridLayout(group);

    txtServiceName = NewLineEdit("txtServiceName");
    txtUserID = NewLineEdit("txtUserID");
    txtUserPWD = NewLineEdit("txtUserPWD");
    txtProgramPath = NewLineEdit("txtProgramPath");
    AddLabelled(grid, 0, 0, "Oracle Service Name", txtServiceName, 2);
    AddLabelled(grid, 2, 0, "User ID", txtUserID);
    AddLabelled(grid, 2, 1, "PassWord", txtUserPWD);
    AddLabelled(grid, 4, 0, "Export Utility", txtProgramPath, 2);

    cmbTimeType = new QComboBox;
    cmbTimeType->setObjectName(QStringLiteral("cmbTimeType"));
    cmbWeek = new QComboBox;
    cmbWeek->setObjectName(QStringLiteral("cmbWeek"));
    cmbWeek->hide();
    cmbDay = new QComboBox;
    cmbDay->setObjectName(QStringLiteral("cmbDay"));
    cmbDay->hide();
    dtpTime = new QTimeEdit(QTime(0, 0, 0));
    dtpTime->setObjectName(QStringLiteral("dtpTime"));
    dtpTime->setDisplayFormat(kTimeFormat);
    auto* when = new QHBoxLayout;
    when->addWidget(cmbTimeType);
    when->addWidget(cmbWeek);
    when->addWidget(cmbDay);
    when->addWidget(dtpTime);
    when->addStretch();
    grid->addWidget(Caption("BackUp Time"), 6, 0, 1, 2);
    grid->addLayout(when, 7, 0, 1, 2);

    txtBackFolder = NewLineEdit("txtBackFolder");
    cmdBorwser = new QPushButton(QStringLiteral("<<"));
    cmdBorwser->setObjectName(QStringLiteral("cmdBorwser"));
    cmdBorwser->setFixedWidth(2 * txtBackFolder->sizeHint().height());
    auto* folder = new QHBoxLayout;
    folder->addWidget(txtBackFolder, 1);
    folder->addWidget(cmdBorwser);
    grid->addWidget(Caption("BackUp Folder"), 8, 0, 1, 2);
    grid->addLayout(folder, 9, 0, 1, 2);
    return group;
}

QGroupBox* ItemEdit::CreateOptionsGroup()
{
    auto* group = new QGroupBox(QStringLiteral("Options"));
    auto* grid = new QGridLayout(group);

    txtTables = NewLineEdit("txtTables");
    txtExecutionOption = NewLineEdit("txtExecutionOption");
    AddLabelled(grid, 0, 0, "Tables[  ,  ,  ,  ,  ]", txtTables, 2);
    AddLabelled(grid, 2, 0, "Export Option", txtExecutionOption, 2);

    txtReservedFiles = NewLineEdit("txtReservedFiles");
    grid->addWidget(Caption("Reserved Backup Files"), 4, 0);
    grid->addWidget(txtReservedFiles, 4, 1);

    txtDescription = new QPlainTextEdit;
    txtDescription->setObjectName(QStringLiteral("txtDescription"));
    txtDescription->setTabChangesFocus(true);
    const int line = txtDescription->fontMetrics().lineSpacing();
    txtDescription->setFixedHeight(
        2 * line + 2 * txtDescription->frameWidth() +
        static_cast<int>(2 * txtDescription->document()->documentMargin()));
    AddLabelled(grid, 5, 0, "Description", txtDescription, 2);
    return group;
}

QGroupBox* ItemEdit::CreateLogGroup()
{
    auto* group = new QGroupBox(QStringLiteral("Log Settings"));
    auto* grid = new QGridLayout(group);

    txtMailReceiver = NewLineEdit("txtMailReceiver");
    AddLabelled(grid, 0, 0, "Mail Receive List(eg. dba@example.com;admin@example.com)",
                txtMailReceiver, 2);

    chkThroughSMTPServer = new QCheckBox(QStringLiteral("E-mail through the SMTP Server"));
    chkThroughSMTPServer->setObjectName(QStringLiteral("chkThroughSMTPServer"));
    grid->addWidget(chkThroughSMTPServer, 2, 0, 1, 2);

    txtSmtpUserID = NewLineEdit("txtSmtpUserID");
    txtSmtpUserPassword = NewLineEdit("txtSmtpUserPassword");
    txtSmtpServer = NewLineEdit("txtSmtpServer");
    for (QLineEdit* box : {txtSmtpUserID, txtSmtpUserPassword, txtSmtpServer})
        box->setEnabled(false);
    AddLabelled(grid, 3, 0, "SMTP User ID", txtSmtpUserID);
    AddLabelled(grid, 3, 1, "SMTP PassWord", txtSmtpUserPassword);
    AddLabelled(grid, 5, 0, "SMTP Server", txtSmtpServer, 2);
    grid->setRowStretch(7, 1);
    return group;
}

QGroupBox* ItemEdit::CreateTransferGroup()
{
    auto* group = new QGroupBox(QStringLiteral("Data Transfer Settings"));
    auto* grid = new QGridLayout(group);

    chkDataTransfer = new QCheckBox(QStringLiteral("Data Dumpfile Transfer to"));
    chkDataTransfer->setObjectName(QStringLiteral("chkDataTransfer"));
    grid->addWidget(chkDataTransfer, 0, 0, 1, 2);

    txtFTPUserID = NewLineEdit("txtFTPUserID");
    txtFTPUserPassWord = NewLineEdit("txtFTPUserPassWord");
    txtFTPServer = NewLineEdit("txtFTPServer");
    txtFTPLocation = NewLineEdit("txtFTPLocation");
    for (QLineEdit* box : {txtFTPUserID, txtFTPUserPassWord, txtFTPServer, txtFTPLocation})
        box->setEnabled(false);
    AddLabelled(grid, 1, 0, "FTP User ID", txtFTPUserID);
    AddLabelled(grid, 1, 1, "FTP PassWord", txtFTPUserPassWord);
    AddLabelled(grid, 3, 0, "FTP Server", txtFTPServer);
    AddLabelled(grid, 3, 1, "FTP Location", txtFTPLocation);

    chkDataCompress = new QCheckBox(QStringLiteral("Rar Compress"));
    chkDataCompress->setObjectName(QStringLiteral("chkDataCompress"));
    grid->addWidget(chkDataCompress, 5, 0, 1, 2);
    grid->setRowStretch(6, 1);
    return group;
}

void ItemEdit::FillLists()
{
    for (const char* kind : {kKindDaily, kKindWeekly, kKindMonthly, kKindHourly})
        cmbTimeType->addItem(QString::fromUtf8(kind));
    for (const char* weekday : kWeekdays)
        cmbWeek->addItem(QString::fromUtf8(weekday));
    for (int day = 1; day <= kLastDay; ++day)
        cmbDay->addItem(QString::number(day));
    cmbTimeType->setCurrentIndex(-1);
    cmbWeek->setCurrentIndex(-1);
    cmbDay->setCurrentIndex(-1);
}

void ItemEdit::ConnectReactions()
{
    connect(cmbTimeType, &QComboBox::currentIndexChanged, this, &ItemEdit::OnTimeTypeChanged);
    connect(chkThroughSMTPServer, &QCheckBox::toggled, this, &ItemEdit::OnThroughSmtpServerToggled);
    connect(chkDataTransfer, &QCheckBox::toggled, this, &ItemEdit::OnDataTransferToggled);
    connect(cmdBorwser, &QPushButton::clicked, this, &ItemEdit::OnBrowseFolder);
    connect(cmdOK, &QPushButton::clicked, this, &ItemEdit::OnOk);
    connect(cmdCancel, &QPushButton::clicked, this, &ItemEdit::reject);
}

// Enter moves on to the next control as Tab does, in every control, buttons
// included, so a form can be filled in from the keyboard without Enter
// closing the dialog half done or opening the folder browser. Space still
// presses a focused button.
void ItemEdit::InstallEnterAsTab()
{
    // The controls are the direct children of the groups and the dialog's own
    // buttons; the inner parts of a combo box or time picker pass their keys
    // on to it.
    for (QGroupBox* group : findChildren<QGroupBox*>()) {
        for (QWidget* control : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (control->focusPolicy() != Qt::NoFocus)
                control->installEventFilter(this);
        }
    }
    for (QPushButton* button : {cmdOK, cmdCancel})
        button->installEventFilter(this);
}

bool ItemEdit::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            focusNextChild();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ItemEdit::LoadRecord(const ScheduleRecord& record)
{
    properties_ = PropertiesFromRecord(record);
}

void ItemEdit::StoreRecord(ScheduleRecord& record) const
{
    ApplyProperties(properties_, record);
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
    p.strTime = FromQString(dtpTime->time().toString(kTimeFormat));
    if (auto reserved = ReservedFilesOf(txtReservedFiles->text()))
        p.nReservedFiles = *reserved;

    p.bUseSmtpServer = chkThroughSMTPServer->isChecked();
    p.bDataTransfer = chkDataTransfer->isChecked();
    p.bDataCompress = chkDataCompress->isChecked();
    return p;
}

void ItemEdit::CopyControlsToProperties()
{
    using P = ItemProperties;
    TakeChanged(properties_, shown_, ControlValues(), &P::strTables, &P::strBackUpFolder,
                &P::strBackUpType, &P::nDay, &P::strWeek, &P::strTime, &P::strPWD, &P::strID,
                &P::strServiceName, &P::strProgramPath, &P::strMailReceiveList, &P::nReservedFiles,
                &P::strExecutionOption, &P::strDescription, &P::bUseSmtpServer, &P::strSmtpUserID,
                &P::strSmtpUserPassword, &P::strSmtpServer, &P::bDataTransfer, &P::bDataCompress,
                &P::strFtpUserID, &P::strFtpUserPassword, &P::strFtpServer, &P::strFtpLocation);
    // A new item has no time yet; the picker's midnight is what the operator
    // saw and accepted.
    if (properties_.strTime.empty())
        properties_.strTime = ControlValues().strTime;
}

void ItemEdit::OnTimeTypeChanged()
{
    const QString kind = cmbTimeType->currentText();
    cmbWeek->setVisible(kind == QString::fromUtf8(kKindWeekly));
    cmbDay->setVisible(kind == QString::fromUtf8(kKindMonthly));
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
