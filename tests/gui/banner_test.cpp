// The banner area on the offscreen platform: the logo page and its link, banners served from 127.0.0.1
// with their images put in as they come, what a banner may not load, and the window's timer turning them.
#include <QBuffer>
#include <QDesktopServices>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <memory>

#include "app/Addresses.h"
#include "app/BannerView.h"
#include "app/MainDialog.h"
#include "banner_site.h"
#include "fake_wave.h"

namespace {

std::string Png(int width, int height, QColor color) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

bool Shows(QWidget& widget, QColor color) {
    const QImage picture = widget.grab().toImage();
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            if (picture.pixelColor(x, y) == color)
                return true;
        }
    }
    return false;
}

const QColor kRed(255, 0, 0);
const QColor kGreen(0, 255, 0);
const QColor kBlue(0, 0, 255);

}  // namespace

class BannerTest : public QObject {
    Q_OBJECT

public slots:
    // Stands in for the system's browser.
    void OpenUrl(const QUrl& url) { opened_.append(url); }

private:
    QList<QUrl> opened_;

    static std::unique_ptr<BannerView> Open(const std::string& host, int port) {
        auto view = std::make_unique<BannerView>(host, port);
        view->resize(274, 97);
        view->show();
        view->Load();
        return view;
    }

private slots:
    void showsTheLogoPageWithoutFrameOrMarginAndOpensTheWebSiteInTheSystemBrowser() {
        auto view = Open("", 80);
        QCOMPARE(view->frameShape(), QFrame::NoFrame);
        QCOMPARE(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(view->BodyContent().contains("quilln_logo.gif"));
        // The logo, 200 by 80, starts at the very corner: its dark green border is there, white is beyond.
        const QImage picture = view->grab().toImage();
        QCOMPARE(picture.pixelColor(0, 0), QColor("#1d5a2a"));
        QCOMPARE(picture.pixelColor(199, 79), QColor("#1d5a2a"));
        QCOMPARE(picture.pixelColor(230, 40), QColor(Qt::white));
        QCOMPARE(picture.pixelColor(100, 90), QColor(Qt::white));

        QDesktopServices::setUrlHandler("https", this, "OpenUrl");
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(100, 40));
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(opened_, QList<QUrl>{QUrl(addresses::kWebSite)});

        // Without a banner server the timer has nothing to turn.
        for (int tick = 0; tick < 3; ++tick)
            view->Tick();
        QVERIFY(view->Rotation().Items().empty());
        QVERIFY(view->BodyContent().contains("quilln_logo.gif"));
    }

    void showsServedBannersAndPutsInTheirImagesWhenTheyCome() {
        QTemporaryDir directory;
        const QString local = directory.filePath("local.png");
        QImage blue(10, 10, QImage::Format_RGB32);
        blue.fill(kBlue);
        QVERIFY(blue.save(local));
        bannertest::BannerSite site;
        site.Serve("/_banners/parlinsimplex.txt",
                   "1 " + site.Url("/a.html") + "\n1 " + site.Url("/b.html") + "\n");
        site.Serve("/a.html",
                   "<p>Gr\xc3\xbc\xc3\x9f"
                   "e</p><img src=\"" +
                       site.Url("/red.png") + "\">");
        site.Serve("/b.html", "<p>B</p><img src=\"" + site.Url("/huge.png") + "\"><img src=\"" +
                                  QUrl::fromLocalFile(local).toString().toStdString() + "\"><img src=\"" +
                                  site.Url("/green.png") + "\">");
        site.Serve("/red.png", Png(30, 20, kRed));
        site.Serve("/huge.png", Png(2000, 2, kRed));
        site.Serve("/green.png", Png(30, 20, kGreen));
        site.Hold("/red.png");

        auto view = Open("127.0.0.1", site.Port());
        // The banner is up while its image is still on its way: nothing waited for it.
        QTRY_VERIFY(view->toPlainText().contains(QString::fromUtf8("Grüße")));
        QTRY_COMPARE(site.RequestsFor("/red.png"), 1);
        QVERIFY(!Shows(*view, kRed));
        QSignalSpy rendered(view.get(), &BannerView::Rendered);
        site.Release();
        QTRY_VERIFY(rendered.count() > 0);
        QVERIFY(Shows(*view, kRed));

        view->Tick();
        view->Tick();
        QTRY_VERIFY(view->toPlainText().contains("B"));
        // The images come one after another, so once the green one is in, the huge one has been refused.
        QTRY_VERIFY(Shows(*view, kGreen));
        QCOMPARE(site.RequestsFor("/huge.png"), 1);
        QVERIFY(!Shows(*view, kRed));
        QVERIFY(!Shows(*view, kBlue));
        QVERIFY(view->document()
                    ->resource(QTextDocument::ImageResource, QUrl::fromLocalFile(local))
                    .toByteArray()
                    .isEmpty());

        // The first banner comes back from what was kept, image and all.
        view->Tick();
        view->Tick();
        QTRY_VERIFY(view->toPlainText().contains(QString::fromUtf8("Grüße")));
        QVERIFY(Shows(*view, kRed));
        QCOMPARE(site.RequestsFor("/a.html"), 1);
        QCOMPARE(site.RequestsFor("/red.png"), 1);
    }

    void theWindowTurnsTheBannersOnItsOwnTimer() {
        auto* fake = new FakeWave;
        fake->autoFinishPlayback = true;
        SetWaveBackend(std::make_unique<FakeWaveBackend>(*fake));
        bannertest::BannerSite site;
        site.Serve("/_banners/parlinsimplex.txt",
                   "x " + site.Url("/a.html") + "\nx " + site.Url("/b.html") + "\n");
        site.Serve("/a.html", "<p>alpha</p>");
        site.Serve("/b.html", "<p>beta</p>");
        {
            Settings settings;
            settings.codecFormat = 0x85;
            settings.bannerServerHost = "127.0.0.1";
            settings.bannerServerPort = site.Port();
            MainDialog window(settings, "2.5", "070105");
            window.Initialize();
            window.show();
            auto* banner = window.findChild<BannerView*>("banner");
            QVERIFY(banner != nullptr);
            QTRY_VERIFY(banner->toPlainText().contains("alpha"));
            QTRY_VERIFY_WITH_TIMEOUT(banner->toPlainText().contains("beta"), 5000);
            QTRY_VERIFY_WITH_TIMEOUT(banner->toPlainText().contains("alpha"), 5000);
        }
        SetWaveBackend(nullptr);
        delete fake;
    }
};

QTEST_MAIN(BannerTest)
#include "banner_test.moc"
