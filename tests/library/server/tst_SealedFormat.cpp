#include "DecryptionPipeline.h"
#include "EncryptingSource.h"
#include "FileCipher.h"
#include "FileDecryptor.h"
#include "GcmChunkCipher.h"
#include "KeyFile.h"
#include "NameCipher.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

using namespace Quorvane;

namespace {

MasterKey fixedKey()
{
    QByteArray bytes;
    for (int i = 0; i < MasterKey::Size; ++i)
        bytes += char(i);
    MasterKey key;
    MasterKey::fromBytes(bytes, key);
    return key;
}

const CipherBinding Alice { "alice", "2f9c7a51-event" };

// Written by the first version of the format: later ones must still read it.
const char KnownFileHex[]
    = "515645460193b11e71258a11afaeb39574b81c4c39080000001c3cba3247f867600d7bfdb3e90f6b740a2e"
      "dae2a40bcb20c5429823bccc0bc543844e16780e51a8f24e9739b405350b25c95a1c90449cf155834cf08423"
      "b53ae02c4d662a16867ca420f91271063f27772d00e3e128641d0f12b71f9ca06fc6884889e25775cd42365c"
      "2c877b21793d8d920be4d09d7f0076fc55ea406036b847fbf6ff448c1ce860e28ee0176ac602c3636365822b"
      "10c30e7a3b50dd317165a4ecb35a772aafe01232dd4788";
// Version 2 of the same plain bytes, eight-byte chunks, the salt 80 81 .. 9f;
// worked out apart from this code, with another AES-GCM and BLAKE2b.
const char KnownFileV2Hex[]
    = "515645460293b11e71258a11afaeb39574b81c4c3908000000808182838485868788898a8b8c8d8e8f9091"
      "92939495969798999a9b9c9d9e9f5ae5fdfedb808934404a015636641834d4b27a7fe546ffbd1b50b75213"
      "9bdb1b012676524c2265c08e70769cfb966e9e7869dbddf9397aceff69a425426ba88731491662fbcda1bf"
      "3956974fde79887ea0f52146d1d8d1c8504881b126f5759d55326acc640ca6a23e9bb934129003d75ff8b6"
      "28a1ab94d7aca9e60180a842146ec6ba612233fae040d0b08ffe5820";
const char KnownFieldsText[]
    = "quorvane-sealed 1 AZOxHnElihGvrrOVdLgcTDkkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCR9bgArbcag-zFfoXe"
      "lDIA7qEXzvG3Bqr_Es2S_DiozwsSf0LsceFVI5YX-TWruCpWnwSvft9e1hpiEhsDdYNIWU5xiqhEQjEyPpJnUvR-"
      "BfOHMKFe6h3jg0b73rA";
const char KnownKeyFile[]
    = "quorvane-key 1\n"
      "id 93b11e71258a11afaeb39574b81c4c39\n"
      "kdf argon2id13 1 8192 68892a493be2ade5cf555115e1da4b19\n"
      "wrapped da9295d555eec2b6eb9c6849b2d65ab50ee3f2e8078b87b8 f54cfadc68f0a0f3ae23cdea661c4b6b13"
      "a140bd8628062e3a45171166e3462568f5343cc2984a4155669eb0b6fde5aa\n";
const QByteArray KnownPlain = "Known answers across several eight-byte chunks.";

QByteArray encrypted(const QByteArray &plain, const MasterKey &key, const CipherBinding &binding,
                     int chunkSize, int version = FileCipher::Version)
{
    QBuffer in, out;
    in.setData(plain);
    in.open(QIODevice::ReadOnly);
    out.open(QIODevice::WriteOnly);
    if (FileCipher::encrypt(in, out, key, binding, chunkSize, version) != FileCipher::Result::Done)
        return QByteArray();
    return out.data();
}

FileCipher::Result decrypted(const QByteArray &sealed, const MasterKey &key,
                             const CipherBinding &binding, QByteArray *plain = nullptr)
{
    QBuffer in, out;
    in.setData(sealed);
    in.open(QIODevice::ReadOnly);
    out.open(QIODevice::WriteOnly);
    const auto result = FileCipher::decrypt(in, out, key, binding);
    if (plain)
        *plain = out.data();
    return result;
}

} // namespace

Q_DECLARE_METATYPE(Quorvane::FileCipher::Result)

class TestSealedFormat : public QObject
{
    Q_OBJECT

private slots:
    void knownAnswers()
    {
        const MasterKey key = fixedKey();
        QCOMPARE(key.idHex(), QByteArray("93b11e71258a11afaeb39574b81c4c39"));

        const NameCipher::Fields fields { "Q3 report", "report.pdf", "application/pdf",
                                          "sha256:00ff", "the figures" };
        const QByteArray sealed = NameCipher::seal(fields, key, Alice, QByteArray(24, '\x24'));
        QCOMPARE(sealed, QByteArray(KnownFieldsText));
        NameCipher::Fields opened;
        QCOMPARE(NameCipher::open(sealed, key, Alice, opened), NameCipher::Result::Opened);
        QCOMPARE(opened.name, fields.name);
        QCOMPARE(opened.description, fields.description);

        QByteArray plain;
        QCOMPARE(decrypted(QByteArray::fromHex(KnownFileHex), key, Alice, &plain),
                 FileCipher::Result::Done);
        QCOMPARE(plain, KnownPlain);

        // Version 2 from a fixed salt, its chunks sealed last first (an upload
        // that seeks): exactly the known bytes, and back.
        QByteArray salt;
        for (int i = 0; i < GcmChunkCipher::SaltSize; ++i)
            salt += char(0x80 + i);
        const auto sealer = GcmChunkCipher::sealing(key, Alice, 8, salt);
        QByteArray chunks;
        for (qsizetype at = KnownPlain.size() / 8 * 8; at >= 0; at -= 8) {
            const QByteArray part = KnownPlain.mid(at, 8);
            QByteArray out(part.size() + sealer->overhead(), Qt::Uninitialized);
            QVERIFY(sealer->seal(at / 8, at + 8 >= KnownPlain.size(),
                                 reinterpret_cast<const uchar *>(part.constData()), part.size(),
                                 reinterpret_cast<uchar *>(out.data())));
            chunks.prepend(out);
        }
        QCOMPARE((sealer->header() + chunks).toHex(), QByteArray(KnownFileV2Hex));
        QCOMPARE(decrypted(QByteArray::fromHex(KnownFileV2Hex), key, Alice, &plain),
                 FileCipher::Result::Done);
        QCOMPARE(plain, KnownPlain);

        MasterKey unwrapped;
        QCOMPARE(KeyFile::unwrap(KnownKeyFile, "correct horse", unwrapped),
                 KeyFile::Result::Unlocked);
        QCOMPARE(unwrapped.idHex(), key.idHex());
    }

    void fileRoundTripsAtChunkEdges_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("size");
        for (int version : { 1, 2 })
            for (int size : { 0, 1, 63, 64, 65, 128, 64 * 3 + 5 })
                QTest::addRow("format %d, %d bytes", version, size) << version << size;
    }

    void fileRoundTripsAtChunkEdges()
    {
        QFETCH(int, version);
        QFETCH(int, size);
        QByteArray plain;
        for (int i = 0; i < size; ++i)
            plain += char(i * 7);
        const QByteArray sealed = encrypted(plain, fixedKey(), Alice, 64, version);
        QVERIFY(FileCipher::isEncrypted(sealed));
        QVERIFY(!sealed.contains(plain.size() > 8 ? plain : QByteArray("\x01\x02\x03")));
        // An empty file is one empty chunk; all but the last are full.
        const ChunkCipher::Layout layout = ChunkCipher::layout(sealed);
        QCOMPARE(layout.version, version);
        QCOMPARE(sealed.size(),
                 layout.headerSize + size + qMax(1, (size + 63) / 64) * layout.overhead);
        QByteArray back;
        QCOMPARE(decrypted(sealed, fixedKey(), Alice, &back), FileCipher::Result::Done);
        QCOMPARE(back, plain);
        // Sealed again, the same bytes differ throughout.
        const QByteArray again = encrypted(plain, fixedKey(), Alice, 64, version);
        QVERIFY(sealed.mid(FileCipher::PrefixSize, 16) != again.mid(FileCipher::PrefixSize, 16));
        QVERIFY(sealed.right(16) != again.right(16));
    }

    void decryptsPiecesOfAnySizeAsTheyArrive()
    {
        // A download hands the bytes over as the network brings them.
        for (const char *hex : { KnownFileHex, KnownFileV2Hex })
            for (int piece : { 1, 3, 25, 49, 57, 1000 }) {
                const QByteArray sealed = QByteArray::fromHex(hex);
                QByteArray plain;
                FileDecryptor decryptor(fixedKey(), Alice, [&plain](const char *data, qint64 size) {
                    plain.append(data, size);
                    return true;
                });
                for (int at = 0; at < sealed.size(); at += piece)
                    QVERIFY(decryptor.feed(sealed.constData() + at,
                                           qMin(piece, int(sealed.size()) - at)));
                QCOMPARE(decryptor.finish(), FileCipher::Result::Done);
                QCOMPARE(plain, KnownPlain);
            }
        // The final chunk's tag, not the end of the bytes, ends the file.
        const QByteArray sealed = QByteArray::fromHex(KnownFileV2Hex);
        FileDecryptor cut(fixedKey(), Alice, [](const char *, qint64) { return true; });
        QVERIFY(cut.feed(sealed.constData(), sealed.size() - 23));
        QCOMPARE(cut.finish(), FileCipher::Result::Damaged);
    }

    void encryptsWhileReadAndRewinds_data()
    {
        QTest::addColumn<int>("version");
        QTest::newRow("format 1") << 1;
        QTest::newRow("format 2") << 2;
    }

    void encryptsWhileReadAndRewinds()
    {
        QFETCH(int, version);
        QTemporaryDir dir;
        const QString name = dir.filePath("plain");
        // Many chunks, read in pieces that straddle them.
        QByteArray plain;
        for (int i = 0; i < 64 * 11 + 5; ++i)
            plain += char(i * 13);
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(plain) == plain.size());
        file.close();

        EncryptingSource source(name, fixedKey(), Alice, 64, version);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QByteArray first;
        while (!source.atEnd())
            first += source.read(37); // pieces across chunk edges
        QCOMPARE(first.size(), source.size());
        QCOMPARE(first.left(FileCipher::PrefixSize),
                 encrypted(plain, fixedKey(), Alice, 64, version).left(FileCipher::PrefixSize));
        QByteArray back;
        QCOMPARE(decrypted(first, fixedKey(), Alice, &back), FileCipher::Result::Done);
        QCOMPARE(back, plain);
        // Sent again from anywhere before, or skipped ahead: the same bytes.
        QVERIFY(source.seek(100));
        QCOMPARE(source.read(200), first.mid(100, 200));
        QVERIFY(source.seek(0));
        QCOMPARE(source.readAll(), first);
        QVERIFY(source.seek(0));
        QCOMPARE(source.read(10), first.left(10));
        QVERIFY(source.seek(first.size() - 100));
        QCOMPARE(source.readAll(), first.right(100));
        source.close();

        // A file that shrinks while it is sent fails the read.
        EncryptingSource shrinking(name, fixedKey(), Alice, 64, version);
        QVERIFY(shrinking.open(QIODevice::ReadOnly));
        QVERIFY(QFile::resize(name, 70));
        while (!shrinking.read(4096).isEmpty()) { }
        QVERIFY(shrinking.pos() < shrinking.size());
        QVERIFY(!shrinking.errorString().isEmpty());
    }

    void fileTamperingIsRefused_data()
    {
        QTest::addColumn<QByteArray>("sealed");
        QTest::addColumn<QByteArray>("account");
        QTest::addColumn<QByteArray>("eventId");
        QTest::addColumn<bool>("otherKey");
        QTest::addColumn<FileCipher::Result>("expected");

        const QByteArray plain(64 * 4 + 10, 'p');
        const auto damaged = FileCipher::Result::Damaged;
        for (int version : { 1, 2 }) {
            const QByteArray good = encrypted(plain, fixedKey(), Alice, 64, version);
            const QByteArray other = encrypted(plain, fixedKey(), Alice, 64, version);
            const ChunkCipher::Layout layout = ChunkCipher::layout(good);
            const int chunk = 64 + layout.overhead;
            const int first = layout.headerSize;
            auto flipped = [&good](int at, char mask = 0x01) {
                QByteArray bytes = good;
                bytes[at] = char(bytes[at] ^ mask);
                return bytes;
            };
            QByteArray swapped = good;
            swapped.replace(first, chunk, good.mid(first + chunk, chunk));
            swapped.replace(first + chunk, chunk, good.mid(first, chunk));
            QByteArray spliced = good;
            spliced.replace(first + chunk, chunk, other.mid(first + chunk, chunk));
            const auto row = [version](const char *name) -> QTestData & {
                return QTest::addRow("format %d: %s", version, name);
            };
            row("byte flipped in a chunk")
                << flipped(first + chunk + 5) << Alice.account << Alice.eventId << false << damaged;
            row("chunk size changed") << flipped(FileCipher::PrefixSize - 1) << Alice.account
                                      << Alice.eventId << false << damaged;
            row("version changed")
                << flipped(4, 0x03) << Alice.account << Alice.eventId << false << damaged;
            row("stream header or salt flipped")
                << flipped(first - 1) << Alice.account << Alice.eventId << false << damaged;
            row("cut inside a chunk") << good.left(first + chunk + 30) << Alice.account
                                      << Alice.eventId << false << damaged;
            row("cut before the last chunk") << good.left(first + 4 * chunk) << Alice.account
                                             << Alice.eventId << false << damaged;
            row("chunk dropped") << good.left(first + chunk) + good.mid(first + 2 * chunk)
                                 << Alice.account << Alice.eventId << false << damaged;
            row("bytes after the end")
                << good + "x" << Alice.account << Alice.eventId << false << damaged;
            row("last chunk again after the end")
                << good + good.mid(first + 4 * chunk) << Alice.account << Alice.eventId << false
                << damaged;
            row("two chunks swapped")
                << swapped << Alice.account << Alice.eventId << false << damaged;
            row("chunk from another file")
                << spliced << Alice.account << Alice.eventId << false << damaged;
            row("other account") << good << QByteArray("bob") << Alice.eventId << false << damaged;
            row("other event") << good << Alice.account << QByteArray("other") << false << damaged;
            row("other key") << good << Alice.account << Alice.eventId << true
                             << FileCipher::Result::WrongKey;
        }
        QTest::newRow("plain file")
            << plain << Alice.account << Alice.eventId << false << FileCipher::Result::NotEncrypted;
    }

    void fileTamperingIsRefused()
    {
        QFETCH(QByteArray, sealed);
        QFETCH(QByteArray, account);
        QFETCH(QByteArray, eventId);
        QFETCH(bool, otherKey);
        QFETCH(FileCipher::Result, expected);
        const MasterKey key = otherKey ? MasterKey::generate() : fixedKey();
        QCOMPARE(decrypted(sealed, key, { account, eventId }), expected);
    }

    void pipelineDecryptsInOrderAndStopsAtTheFirstFault()
    {
        // Several megabytes of small chunks: both of the worker's queues fill
        // and wait on each other.
        QByteArray plain(6 * 1024 * 1024 + 123, Qt::Uninitialized);
        for (qsizetype i = 0; i < plain.size(); ++i)
            plain[i] = char((i * 2654435761u) >> 13);
        const int chunk = 4096;
        const QByteArray good = encrypted(plain, fixedKey(), Alice, chunk);
        QByteArray flipped = good;
        const ChunkCipher::Layout layout = ChunkCipher::layout(good);
        const qsizetype badAt = layout.headerSize + 1200 * (chunk + layout.overhead) + 9;
        flipped[badAt] = char(flipped[badAt] ^ 0x40);

        auto run = [](const QByteArray &sealed, QByteArray &out, qint64 refuseAfter) {
            DecryptionPipeline pipeline(fixedKey(), Alice, [&](const char *data, qint64 size) {
                if (refuseAfter >= 0 && out.size() >= refuseAfter)
                    return false;
                out.append(data, size);
                return true;
            });
            for (qsizetype at = 0; at < sealed.size(); at += 65536) {
                if (!pipeline.feed(sealed.constData() + at,
                                   qMin<qsizetype>(65536, sealed.size() - at)))
                    return pipeline.result();
            }
            return pipeline.finish();
        };
        QByteArray out;
        QCOMPARE(run(good, out, -1), FileCipher::Result::Done);
        QVERIFY(out == plain);

        // Only chunks that authenticated, all of them before the flipped one.
        out.clear();
        QCOMPARE(run(flipped, out, -1), FileCipher::Result::Damaged);
        QVERIFY(out.size() <= 1200 * chunk && out.size() % chunk == 0);
        QVERIFY(out == plain.left(out.size()));

        // A disk that refuses ends it, without waiting on a worker that waits on it.
        out.clear();
        QCOMPARE(run(good, out, 2 * 1024 * 1024), FileCipher::Result::WriteFailed);

        // Dropped halfway (a transfer that starts over): the worker stops.
        {
            DecryptionPipeline dropped(fixedKey(), Alice,
                                       [](const char *, qint64) { return true; });
            QVERIFY(dropped.feed(good.constData(), good.size() / 2));
        }
    }

    void fieldTamperingIsRefused()
    {
        const MasterKey key = fixedKey();
        const QByteArray sealed = NameCipher::seal({ "n", "p", "t", "c", "d" }, key, Alice);
        QVERIFY(NameCipher::isSealed(sealed));
        NameCipher::Fields fields;
        QByteArray flipped = sealed;
        flipped[flipped.size() - 3] = flipped.at(flipped.size() - 3) == 'A' ? 'B' : 'A';
        QCOMPARE(NameCipher::open(flipped, key, Alice, fields), NameCipher::Result::Damaged);
        QCOMPARE(NameCipher::open(sealed.chopped(4), key, Alice, fields),
                 NameCipher::Result::Damaged);
        QCOMPARE(NameCipher::open(sealed, key, { "bob", Alice.eventId }, fields),
                 NameCipher::Result::Damaged);
        QCOMPARE(NameCipher::open(sealed, key, { Alice.account, "other" }, fields),
                 NameCipher::Result::Damaged);
        QCOMPARE(NameCipher::open(sealed, MasterKey::generate(), Alice, fields),
                 NameCipher::Result::WrongKey);
        // Nothing reached the caller from the refusals.
        QVERIFY(fields.name.isEmpty());
    }

    void keyFileRefusesWrongPassphraseAndChangedParameters()
    {
        const MasterKey key = MasterKey::generate();
        const KeyFile::Parameters fast { 1, 8192 };
        const QByteArray text = KeyFile::wrap(key, "right", fast);
        QCOMPARE(KeyFile::keyIdHex(text), key.idHex());
        MasterKey out;
        QCOMPARE(KeyFile::unwrap(text, "wrong", out), KeyFile::Result::WrongPassphrase);
        QByteArray weakened = text;
        weakened.replace(" 1 8192 ", " 1 16384 ");
        QCOMPARE(KeyFile::unwrap(weakened, "right", out), KeyFile::Result::WrongPassphrase);
        QByteArray greedy = text;
        greedy.replace(" 1 8192 ", " 1 99999999999 ");
        QCOMPARE(KeyFile::unwrap(greedy, "right", out), KeyFile::Result::Malformed);
        QCOMPARE(KeyFile::unwrap("quorvane-key 1\n", "right", out), KeyFile::Result::Malformed);
        QCOMPARE(KeyFile::unwrap(text, "right", out), KeyFile::Result::Unlocked);
        QCOMPARE(out.idHex(), key.idHex());

        QTemporaryDir dir;
        const QString path = dir.filePath("key");
        QVERIFY(KeyFile::save(path, text));
        QVERIFY(KeyFile::save(path, text)); // replaces
        QCOMPARE(QFileInfo(path).permissions() & 0x0777,
                 QFileDevice::ReadUser | QFileDevice::WriteUser);
        QCOMPARE(KeyFile::load(path), text);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
        // Only the file itself is read: no link followed, no FIFO waited on.
        QVERIFY(QFile::link(path, dir.filePath("link")));
        QVERIFY(KeyFile::load(dir.filePath("link")).isEmpty());
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);
        QVERIFY(KeyFile::load(dir.filePath("fifo")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSealedFormat)
#include "tst_SealedFormat.moc"
