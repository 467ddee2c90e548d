#include "MessageBoxes.h"

#include "PlatformLogging.h"

namespace Platform {

namespace {

MessageBoxes::Answerer &answerer()
{
    static MessageBoxes::Answerer instance;
    return instance;
}

const char *kindName(MessageBoxes::Kind kind)
{
    switch (kind) {
    case MessageBoxes::Kind::Information:
        return "information";
    case MessageBoxes::Kind::Warning:
        return "warning";
    case MessageBoxes::Kind::Critical:
        return "critical";
    case MessageBoxes::Kind::Question:
        return "question";
    case MessageBoxes::Kind::System:
        return "system";
    case MessageBoxes::Kind::SystemError:
        return "system-error";
    }
    return "box";
}

QMessageBox::Icon iconFor(MessageBoxes::Kind kind)
{
    switch (kind) {
    case MessageBoxes::Kind::Information:
        return QMessageBox::Information;
    case MessageBoxes::Kind::Warning:
        return QMessageBox::Warning;
    case MessageBoxes::Kind::Critical:
        return QMessageBox::Critical;
    case MessageBoxes::Kind::Question:
        return QMessageBox::Question;
    case MessageBoxes::Kind::System:
        return QMessageBox::Information;
    case MessageBoxes::Kind::SystemError:
        return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButton automaticAnswer(QMessageBox::StandardButtons buttons)
{
    for (QMessageBox::StandardButton button :
         { QMessageBox::Ok, QMessageBox::Cancel, QMessageBox::No }) {
        if (buttons.testFlag(button))
            return button;
    }
    return QMessageBox::NoButton;
}

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

void MessageBoxes::setAnswerer(Answerer replacement)
{
    answerer() = std::move(replacement);
}

QMessageBox::StandardButton MessageBoxes::ask(const Box &box)
{
    qCInfo(boxLog) << kindName(box.kind) << box.title << box.text;
    if (answerer())
        return answerer()(box);
    if (qEnvironmentVariableIsSet("KEYCRATE_TEST_ANSWER_BOXES"))
        return automaticAnswer(box.buttons);

    QMessageBox dialog(iconFor(box.kind), box.title, box.text, box.buttons, box.parent);
    if (!box.parent)
        dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    dialog.exec();
    return dialog.standardButton(dialog.clickedButton());
}

} // namespace Platform
