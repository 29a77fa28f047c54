#pragma once

#include <QDialog>
#include <QString>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTreeWidget;

namespace vanterel {
struct Settings;
} // namespace vanterel

namespace vanterel::http {
class ServerControl;
}

namespace vanterel::keys {
class KeyCommands;
}

namespace vanterel::config {

class Prompts;

// The options window: changes the port and restarts listening, picks the
// document root, imports a key file and lists the bindings. Every change takes
// effect at once; nothing is applied on closing. Opened modally with exec()
// over the main window; the server goes on serving in that nested loop.
class FrmOpts final : public QDialog {
    Q_OBJECT

public:
    // Item data role of column 0 that holds the row's key: "d" + binding index.
    static constexpr int RowKeyRole = Qt::UserRole;

    // Builds the window from the current settings and binding table. Every
    // reference must outlive the window.
    FrmOpts(Settings &settings, keys::KeyCommands &keys, http::ServerControl &server, Prompts &prompts,
            QWidget *parent = nullptr);
    ~FrmOpts() override;

    // Rebuilds the list from the binding table.
    void RefreshList();

    // Callback of the row last right-clicked; emptied by every right-button
    // release over the list.
    QString SelectedCallback() const { return m_selectedCallback; }

Q_SIGNALS:
    // A key file was imported (in full or in part) and is now the settings'
    // KeyFile, to be followed from now on.
    void keyFileImported(const QString &path);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void cmdSetClick();
    void cmdChangehtdocsClick();
    void cmdLoadMarlekClick();
    void listRightButtonUp(const QPoint &pos, const QPoint &globalPos);
    void mnucopycallbackClick();

    Settings &m_settings;
    keys::KeyCommands &m_keys;
    http::ServerControl &m_server;
    Prompts &m_prompts;
    QString m_selectedCallback;

    QTreeWidget *ListView1;
    QPushButton *cmdLoadMarlek;
    QLineEdit *txtPort;
    QPushButton *cmdSet;
    QLabel *lblPortOf;
    QLabel *lblHtdocsFolder;
    QLineEdit *txtHtdocs;
    QPushButton *cmdChangehtdocs;
    QPushButton *cmdClose;
    QMenu *mnupopup1;
    QAction *mnucopycallback;
};

} // namespace vanterel::config
