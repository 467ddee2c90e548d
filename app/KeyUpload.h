#pragma once

#include "IQuorvane.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// Makes the account's encryption key: sends it, wrapped by the passphrase, to
// the server as an event of the owner's alone, and only once the server has
// it keeps it in the state folder and unlocks it, so a key is never kept
// here only.
class KeyUpload : public QObject, public Quorvane::QuorvaneUser
{
    Q_OBJECT
public:
    explicit KeyUpload(Quorvane::IQuorvane *library, QObject *parent = nullptr);

    // False when the key cannot be made or the upload not started.
    bool start(const QByteArray &passphrase);
    bool running() const { return m_folder != nullptr; }

    void OnFinished(int code, int count) override;
    void OnMessage(const char *) override { }
    void OnProgress(int, int) override { }

signals:
    // ok: the key is on the server, kept here and unlocked.
    void finished(bool ok, const QString &keyId);

private:
    Quorvane::IQuorvane *m_library;
    std::unique_ptr<QTemporaryDir> m_folder;
    QByteArray m_text;
    QByteArray m_passphrase;
    QByteArray m_keyId;
};
