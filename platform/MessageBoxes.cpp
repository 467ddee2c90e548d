#include "MessageBoxes.h"

#include "PlatformLogging.h"

#include <QInputDialog>
#include <QLineEdit>

namespace Platform {

namespace {

MessageBoxes::Answerer &answerer()
{
    static MessageBoxes::Answerer instance;
    return instance;
}

struct KindLook
{
    const char *name; // as logged
    QMessageBox::Icon icon;
};

KindLook lookOf(MessageBoxes::Kind kind)
{
    switch (kind) {
    case MessageBoxes::Kind::Information:
        return { "information", QMessageBox::Information };
    case MessageBoxes::Kind::Warning:
        return { "warning", QMessageBox::Warning };
    case MessageBoxes::Kind::Critical:
        return { "critical", QMessageBox::Critical };
    case MessageBoxes::Kind::Question:
        return { "question", QMessageBox::Question };
    case MessageBoxes::Kind::System:
        return { "system", QMessageBox::Information };
    case MessageBoxes::Kind::SystemError:
        return { "system-error", QMessageBox::Critical };
    case MessageBoxes::Kind::Passphrase:
        return { "passphrase", QMessageBox::NoIcon };
    }
    return { "box", QMessageBox::NoIcon };
}

#ifdef KEYCRATE_TESTING
QMessageBox::StandardButton automaticAnswer(QMessageBox::StandardButtons buttons)
{
    for (QMessageBox::StandardButton button :
         { QMessageBox::Ok, QMessageBox::Cancel, QMessageBox::No }) {
        if (buttons.testFlag(button))
            return button;
    }
    return QMessageBox::NoButton;
}
#endif

} // namespace

QMessageBox::StandardButton MessageBoxes::information(QWidget *parent, const QString &title,
                                                      const QString &text,
                                                      QMessageBox::StandardButtons buttons)
{
    return ask({ Kind::Information, parent, title, text, buttons });
}

QMessageBox::StandardButton MessageBoxes::warning(QWidget *parent, const QString &title,
                                                  const QString &text,
                                                  QMessageBox::StandardButtons buttons)
{
    return ask({ Kind::Warning, parent, title, text, buttons });
}

QMessageBox::StandardButton MessageBoxes::critical(QWidget *parent, const QString &title,
                                                   const QString &text,
                                                   QMessageBox::StandardButtons buttons)
{
    return ask({ Kind::Critical, parent, title, text, buttons });
}

QMessageBox::StandardButton MessageBoxes::question(QWidget *parent, const QString &title,
                                                   const QString &text,
                                                   QMessageBox::StandardButtons buttons)
{
    return ask({ Kind::Question, parent, title, text, buttons });
}

void MessageBoxes::system(const QString &caption, const QString &text, bool isError)
{
    ask({ isError ? Kind::SystemError : Kind::System, nullptr, caption, text, QMessageBox::Ok });
}

bool MessageBoxes::passphrase(QWidget *parent, const QString &title, const QString &text,
                              QString *entered)
{
    entered->clear();
    return ask({ Kind::Passphrase, parent, title, text, QMessageBox::Ok | QMessageBox::Cancel,
                 entered })
        == QMessageBox::Ok;
}

void MessageBoxes::setAnswerer(Answerer replacement)
{
    answerer() = std::move(replacement);
}

QMessageBox::StandardButton MessageBoxes::ask(const Box &box)
{
    const KindLook look = lookOf(box.kind);
    qCInfo(boxLog) << look.name << box.title << box.text;
    if (answerer())
        return answerer()(box);
#ifdef KEYCRATE_TESTING
    if (qEnvironmentVariableIsSet("KEYCRATE_TEST_ANSWER_BOXES"))
        return automaticAnswer(box.buttons);
#endif

    if (box.kind == Kind::Passphrase) {
        QInputDialog dialog(box.parent);
        dialog.setWindowTitle(box.title);
        dialog.setLabelText(box.text);
        dialog.setTextEchoMode(QLineEdit::Password);
        if (dialog.exec() != QDialog::Accepted)
            return QMessageBox::Cancel;
        *box.entered = dialog.textValue();
        return QMessageBox::Ok;
    }
    QMessageBox dialog(look.icon, box.title, box.text, box.buttons, box.parent);
    // Texts carry names from servers and files: a tag in them is shown, not
    // followed (an image tag would load whatever file it names).
    dialog.setTextFormat(Qt::PlainText);
    if (!box.parent)
        dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    dialog.exec();
    return dialog.standardButton(dialog.clickedButton());
}

} // namespace Platform
