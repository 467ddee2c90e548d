// Sealed files and fields as a server may send them back, cut into pieces of
// any size: nothing crashes, no more comes out than went in, and bytes that
// are not a whole authenticated file never pass for one.
#include "FileDecryptor.h"
#include "KeyFile.h"
#include "NameCipher.h"

#include <QList>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace Quorvane;
    if (size < 2)
        return 0;
    QByteArray key;
    for (int i = 0; i < MasterKey::Size; ++i)
        key += char(i);
    MasterKey master;
    MasterKey::fromBytes(key, master);
    const CipherBinding binding { "alice", "2f9c7a51-event" };
    const int piece = 1 + data[1];
    const QByteArray input(reinterpret_cast<const char *>(data) + 2, qsizetype(size - 2));

    switch (data[0] % 3) {
    case 0: {
        qint64 written = 0;
        FileDecryptor decryptor(master, binding, [&written](const char *, qint64 bytes) {
            written += bytes;
            return true;
        });
        bool fed = true;
        for (qsizetype at = 0; fed && at < input.size(); at += piece)
            fed = decryptor.feed(input.constData() + at, qMin<qsizetype>(piece, input.size() - at));
        const FileCipher::Result result = fed ? decryptor.finish() : decryptor.result();
        if (written > input.size() || (result == FileCipher::Result::Done && !fed))
            __builtin_trap();
        if (result != FileCipher::Result::Done && result != FileCipher::Result::NotEncrypted
            && result != FileCipher::Result::WrongKey && result != FileCipher::Result::Damaged)
            __builtin_trap();
        break;
    }
    case 1: {
        NameCipher::Fields fields;
        const NameCipher::Result result = NameCipher::open(input, master, binding, fields);
        if (result != NameCipher::Result::Opened
            && !(fields.name.isEmpty() && fields.path.isEmpty() && fields.content.isEmpty()))
            __builtin_trap();
        if (fields.name.size() + fields.path.size() + fields.type.size() + fields.content.size()
                + fields.description.size()
            > input.size())
            __builtin_trap();
        break;
    }
    default: {
        const QByteArray id = KeyFile::keyIdHex(input);
        if (id.size() % 32 != 0)
            __builtin_trap();
        // Deriving a key costs what the text asks for: unwrapped only when
        // that is the least there is, as in the kept key.
        const QList<QByteArray> kdf = input.split('\n').value(2).split(' ');
        if (id.isEmpty() || kdf.size() != 5 || kdf[2] != "1" || kdf[3] != "8192")
            break;
        MasterKey unwrapped;
        if (KeyFile::unwrap(input, "passphrase", unwrapped) == KeyFile::Result::Unlocked
            && unwrapped.idHex() != id)
            __builtin_trap();
        break;
    }
    }
    return 0;
}
