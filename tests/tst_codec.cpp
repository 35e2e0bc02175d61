// File names survive the trip from bytes to text and back, whatever bytes they hold.
#include "core/losslessutf8codec.h"

#include <QRandomGenerator>
#include <QTest>

class TestCodec : public QObject
{
    Q_OBJECT
    snx::LosslessUtf8Codec codec;

    QString decode(const QByteArray &b) { return codec.toUnicode(b); }
    QByteArray encode(const QString &s) { return codec.fromUnicode(s); }
    static QString escaped(uint byte)
    {
        const uint codePoint = snx::LosslessUtf8Codec::escapeBase + byte;
        return QString::fromUcs4(&codePoint, 1);
    }

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("plainUtf8");
        QTest::newRow("ascii") << QByteArray("/home/u/a b.exe") << true;
        QTest::newRow("utf-8") << QByteArray("/home/u/t\xc3\xabst \xe2\x82\xac \xf0\x9f\x98\x80")
                               << true;
        QTest::newRow("byte 0xff") << QByteArray("/tmp/bad\xff.com") << false;
        QTest::newRow("replacement character itself")
            << QByteArray("/tmp/bad\xef\xbf\xbd.com") << true;
        QTest::newRow("latin-1 name") << QByteArray("/tmp/caf\xe9") << false;
        QTest::newRow("overlong slash") << QByteArray("/tmp/a\xc0\xaf"
                                                      "b")
                                        << false;
        QTest::newRow("encoded surrogate") << QByteArray("/tmp/\xed\xa0\x80") << false;
        QTest::newRow("truncated sequence at the end") << QByteArray("/tmp/x\xe2\x82") << false;
        QTest::newRow("a real name in the escape range")
            << QByteArray("/tmp/\xf4\x8f\xbd\x81") << false;
        QTest::newRow("beyond U+10FFFF") << QByteArray("/tmp/\xf4\x90\x80\x80") << false;
        QTest::newRow("byte-order mark beginning a name")
            << QByteArray("\xef\xbb\xbfname") << false;
        QTest::newRow("byte-order mark within a path")
            << QByteArray("/tmp/\xef\xbb\xbfname") << true;
    }

    void roundTrip()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, plainUtf8);
        const QString text = decode(bytes);
        QCOMPARE(encode(text), bytes);
        // What goes on D-Bus is valid UTF-8 that comes back as the same text.
        QCOMPARE(QString::fromUtf8(text.toUtf8()), text);
        if (plainUtf8)
            QCOMPARE(text, QString::fromUtf8(bytes));
        else
            QVERIFY(text != QString::fromUtf8(bytes));
    }

    void twinsStayApart()
    {
        const QString ff = decode("/tmp/bad\xff.com");
        const QString fffd = decode("/tmp/bad\xef\xbf\xbd.com");
        QVERIFY(ff != fffd);
        QCOMPARE(ff, QStringLiteral("/tmp/bad") + escaped(0xff) + QStringLiteral(".com"));
    }

    void randomBytesRoundTrip()
    {
        QRandomGenerator rng(1);
        for (int i = 0; i < 5000; ++i) {
            QByteArray bytes(int(rng.bounded(1, 40)), Qt::Uninitialized);
            for (char &c : bytes)
                c = char(rng.bounded(256));
            QCOMPARE(encode(decode(bytes)), bytes);
        }
    }
};

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
