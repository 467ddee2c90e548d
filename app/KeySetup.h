#pragma once

#include "IQuorvane.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// The account's encryption key for this machine: one key per account, so the
// server is asked first. A key it holds (made on another machine) is fetched
// and kept here once its passphrase opens it; only when it holds none is a
// new key made, sent wrapped by the passphrase as an event of the owner's
// alone, and kept here once the server has it. A send whose answer is lost
// is settled by asking the server again.
class KeySetup : public QObject, public Quorvane::QuorvaneUser
{
    Q_OBJECT
public:
    enum class Found { None, Key, Unknown };
    enum class Adopted { Kept, WrongPassphrase, Damaged, NotKept };
    // Unknown: the send broke and the server could not be asked whether it
    // kept the key; nothing is kept here. ServerOnly: the server has it but
    // it could not be kept here.
    enum class Made { Kept, NotSent, Unknown, ServerOnly };

    explicit KeySetup(Quorvane::IQuorvane *library, QObject *parent = nullptr);

    // Asks the server for the account's key, fetching it when there is one:
    // lookedUp() follows. False when the request cannot start.
    bool lookUp();
    // The fetched key, opened by passphrase, kept here and unlocked; nothing
    // is written unless it opens.
    Adopted adopt(const QByteArray &passphrase);
    // Makes a new key and sends it: made() follows. False when it cannot start.
    bool make(const QByteArray &passphrase);
    bool running() const { return m_step != Step::Idle; }

    void OnFinished(int code, int count) override;
    void OnMessage(const char *) override { }
    void OnProgress(int, int) override { }

signals:
    void lookedUp(KeySetup::Found found);
    void made(KeySetup::Made outcome, const QString &keyId);

private:
    enum class Step { Idle, Listing, Fetching, Sending, Checking };

    bool list(Step step);
    // The newest key event (of keyId, when given) among count listed.
    bool newestKey(int count, QByteArray *id, QByteArray *time, QByteArray *path,
                   const QByteArray &keyId);
    // Keeps text in the state folder and unlocks it with passphrase.
    bool keep(const QByteArray &text, const QByteArray &passphrase);
    void endMaking(Made outcome);

    Quorvane::IQuorvane *m_library;
    Step m_step = Step::Idle;
    std::unique_ptr<QTemporaryDir> m_folder;
    QByteArray m_fetchedId;
    QByteArray m_fetchedFile;
    QByteArray m_text; // the wrapped key fetched, or being made
    QByteArray m_passphrase;
    QByteArray m_keyId;
};
