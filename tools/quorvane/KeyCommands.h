#pragma once

#include "EventRecord.h"

#include <QByteArray>
#include <ostream>
#include <string>
#include <vector>

class CommandLine;
class Session;

// key init, key fetch and key passwd: the account's encryption key, kept
// wrapped by a passphrase in the state folder and as an event on the server.
class KeyCommands
{
public:
    KeyCommands(const CommandLine &line, Session &session, std::ostream &out, std::ostream &err);

    int run();

private:
    int init();
    int fetch();
    int passwd();
    // The key events on the server, newest first.
    int keyEvents(std::vector<EventRecord> *found);
    // Sends the wrapped key as an event of the owner's alone.
    int upload(const QByteArray &text, const QByteArray &idHex);
    // Removes the server's key events other than keep (older wrappings).
    int removeOthers(const QByteArray &idHex, const std::string &keep);
    int fail(const std::string &message);

    const CommandLine &m_line;
    Session &m_session;
    std::ostream &m_out;
    std::ostream &m_err;
};
