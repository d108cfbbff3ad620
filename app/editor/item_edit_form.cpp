// The item editor's form: its groups of captioned controls, the lists they
// offer, the masked password boxes, and Enter moving on like Tab. What the
// form does with an item (loading, checking, writing back) is item_edit.cpp's.

#include "editor/item_edit.h"
#include "editor/qt_text.h"
#include "store/item_kind.h"

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
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QShortcut>
#include <QTimeEdit>

namespace veltrane {
namespace {

const char* const kWeekdays[] = {"일", "월", "화", "수", "목", "금", "토"};
constexpr int kLastDay = 30; // the day list offers no 31

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

std::optional<QString> ChooseFolderWithQt(QWidget* parent, const QString& prompt,
                                          const QString& start)
{
    QString folder =
        QFileDialog::getExistingDirectory(parent, prompt, start, QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return std::nullopt;
    return folder;
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
    // Which kind of item the utility makes it, as the operator types.
    lblItemKind = new QLabel;
    lblItemKind->setObjectName(QStringLiteral("lblItemKind"));
    const auto showKind = [this](const QString& path) {
        lblItemKind->setText(IsDataPumpProgram(FromQString(path))
                                 ? QStringLiteral("Data Pump (expdp)")
                                 : QStringLiteral("Original export (exp)"));
    };
    showKind({});
    connect(txtProgramPath, &QLineEdit::textChanged, this, showKind);
    auto* utility = new QHBoxLayout;
    utility->addWidget(txtProgramPath, 1);
    utility->addWidget(lblItemKind);
    grid->addWidget(Caption("Export Utility"), 4, 0, 1, 2);
    grid->addLayout(utility, 5, 0, 1, 2);

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
    dtpTime->setDisplayFormat(QString::fromLatin1(kTimeFormat));
    auto* when = new QHBoxLayout;
    when->addWidget(cmbTimeType);
    when->addWidget(cmbWeek);
    when->addWidget(cmbDay);
    when->addWidget(dtpTime);
    lblScheduleUse = new QLabel;
    lblScheduleUse->setObjectName(QStringLiteral("lblScheduleUse"));
    when->addWidget(lblScheduleUse, 1);
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

// Enter moves on to the next box as Tab does, in every control, buttons
// included, and passes over the buttons ("<<", OK, Cancel), so a form can be
// filled in from the keyboard without Enter closing the dialog half done,
// opening the folder browser, or leaving the focus where typing goes
// nowhere. Space still presses a focused button.
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
            // Bounded: a form of buttons only would go round for ever.
            for (int step = 0; step < 64; ++step) {
                focusNextChild();
                if (qobject_cast<QPushButton*>(focusWidget()) == nullptr)
                    break;
            }
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace veltrane
