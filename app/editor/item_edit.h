#pragma once

// The item editor: the modal dialog in which the operator fills in or changes
// one schedule item. It knows nothing of the schedule table. The caller
// creates one dialog per insert or edit, sets its properties (for an edit),
// calls ShowEditor, and on true reads the properties back.
//
// Nothing typed is lost by accident: Cancel, Escape and the close box ask
// before they discard a changed form, a count of backups to keep that cannot
// be used and a schedule that can never make the item due (no kind, a time
// that is no time of day, a weekly item without its weekday letter, a monthly
// one without a day 1 to 31) are refused with the dialog left open, and OK
// writes back only the fields the operator changed (a stored value that a
// control can show only approximately comes back as it was).

#include "store/schedule_record.h"

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimeEdit;

namespace veltrane {

class ItemEdit : public QDialog
{
    Q_OBJECT

public:
    // Asks for a folder. `parent` is the dialog that owns the chooser,
    // `prompt` its title and `start` the folder to start at. Returns the
    // chosen folder's full path, or nullopt when the operator cancels.
    using FolderChooser = std::function<std::optional<QString>(
        QWidget* parent, const QString& prompt, const QString& start)>;

    explicit ItemEdit(QWidget* parent = nullptr);

    // The item's 24 fields; readable and writable before ShowEditor and after
    // it returns. OK copies the controls into them; Cancel leaves them alone.
    const ItemProperties& properties() const { return properties_; }
    ItemProperties& properties() { return properties_; }
    void setProperties(const ItemProperties& properties) { properties_ = properties; }

    // Sets the properties from an existing item (the edit command).
    void LoadRecord(const ScheduleRecord& record);

    // Fills the controls from the properties, shows the dialog modally and
    // returns true when the operator closed it with OK, false for Cancel,
    // Escape or the window's close box.
    bool ShowEditor();

    // Whether the controls show anything else than they did when the dialog
    // opened.
    bool Changed() const;

    // Cancel, Escape and the close box: asks first when the form was changed;
    // the dialog stays open when the operator keeps it.
    void reject() override;

    // Replaces the folder chooser that the "<<" button opens; the default is
    // Qt's folder dialog, showing folders only.
    void setFolderChooser(FolderChooser chooser) { chooser_ = std::move(chooser); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // How the time picker shows a time, and how the schedule stores it.
    static constexpr const char* kTimeFormat = "HH:mm:ss";

    QGroupBox* CreateGeneralGroup();
    QGroupBox* CreateOptionsGroup();
    QGroupBox* CreateLogGroup();
    QGroupBox* CreateTransferGroup();
    void FillLists();
    void ConnectReactions();
    void InstallEnterAsTab();

    void CopyPropertiesToControls();
    // What OK writes back: the changed fields from the controls, the others
    // as they came in.
    ItemProperties ResultProperties() const;
    void CopyControlsToProperties();
    // Says why the schedule OK would write back can never make the item due,
    // and puts the focus on that field; false when it can.
    bool RefuseScheduleFault();
    // The properties as the controls show them, the stored ones where a
    // control shows no value of its own (no day chosen, an unusable count).
    ItemProperties ControlValues() const;

    void OnTimeTypeChanged();
    void OnThroughSmtpServerToggled(bool checked);
    void OnDataTransferToggled(bool checked);
    void OnBrowseFolder();
    void OnOk();

    ItemProperties properties_;
    ItemProperties shown_;       // ControlValues() when the dialog opened
    QString shownReservedFiles_; // the count's text then
    bool result_ = false;
    FolderChooser chooser_;

    QLineEdit* txtServiceName = nullptr;
    QLineEdit* txtUserID = nullptr;
    QLineEdit* txtUserPWD = nullptr;
    QLineEdit* txtProgramPath = nullptr;
    QLabel* lblItemKind = nullptr; // the kind of item the utility makes it
    QComboBox* cmbTimeType = nullptr;
    QComboBox* cmbWeek = nullptr;
    QComboBox* cmbDay = nullptr;
    QTimeEdit* dtpTime = nullptr;
    QLabel* lblScheduleUse = nullptr; // what the chosen kind reads of the schedule
    QLineEdit* txtBackFolder = nullptr;
    QPushButton* cmdBorwser = nullptr;

    QLineEdit* txtTables = nullptr;
    QLineEdit* txtExecutionOption = nullptr;
    QLineEdit* txtReservedFiles = nullptr;
    QPlainTextEdit* txtDescription = nullptr;

    QLineEdit* txtMailReceiver = nullptr;
    QCheckBox* chkThroughSMTPServer = nullptr;
    QLineEdit* txtSmtpUserID = nullptr;
    QLineEdit* txtSmtpUserPassword = nullptr;
    QLineEdit* txtSmtpServer = nullptr;

    QCheckBox* chkDataTransfer = nullptr;
    QLineEdit* txtFTPUserID = nullptr;
    QLineEdit* txtFTPUserPassWord = nullptr;
    QLineEdit* txtFTPServer = nullptr;
    QLineEdit* txtFTPLocation = nullptr;
    QCheckBox* chkDataCompress = nullptr;

    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;
};

// Selects the first entry of `list` equal to `text` (exact, case-sensitive)
// and returns its position. An empty text, and a text that equals no entry (a
// hand-edited kind, or the day 0 of a new item), leave the list with no
// selection and return -1: on OK an unselected day list then keeps nDay,
// rather than turning a value the operator never chose into the first entry.
int FindListIndex(QComboBox& list, const QString& text);

} // namespace veltrane
