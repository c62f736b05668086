// The banner area on the offscreen platform: the logo page and its link, banners served from 127.0.0.1
// with their images put in as they come, what a banner may not load, hostile pages and the render budget,
// and the window's timer turning them.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QDesktopServices>
#include <QDir>
#include <QImage>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "app/Addresses.h"
#include "app/BannerView.h"
#include "app/MainDialog.h"
#include "banner_site.h"
#include "fake_wave.h"
#include "hostile_banners.h"

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

// A FIFO that tells whether anyone opened it for reading. Its writer waits in open() on a thread of its
// own, again after every reader, so a reader's open never blocks and its read finds the end of the stream.
class FifoWatch {
public:
    explicit FifoWatch(const QString& path) : path_(path.toStdString()) {
        ok_ = ::mkfifo(path_.c_str(), 0600) == 0;
        if (ok_)
            writer_ = std::thread([this] {
                while (!ending_) {
                    const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
                    if (!ending_)
                        opened_ = true;
                    if (fd >= 0)
                        ::close(fd);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
    }
    ~FifoWatch() { Finish(); }
    bool Made() const { return ok_; }
    // Whether a reader came; lets the writer go.
    bool Finish() {
        if (writer_.joinable()) {
            ending_ = true;
            const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            writer_.join();
            if (fd >= 0)
                ::close(fd);
        }
        return opened_;
    }

private:
    std::string path_;
    bool ok_ = false;
    std::atomic<bool> ending_{false};
    std::atomic<bool> opened_{false};
    std::thread writer_;
};

// The names of the files in a directory that were opened since it began watching.
class OpenWatch {
public:
    explicit OpenWatch(const QString& directory) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ >= 0)
            ::inotify_add_watch(fd_, directory.toLocal8Bit().constData(), IN_OPEN);
    }
    ~OpenWatch() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    QStringList Opened() {
        QStringList names;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof(buffer))) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0)
                    names.append(QString::fromLocal8Bit(event->name));
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return names;
    }
    bool Watching() const { return fd_ >= 0; }

private:
    int fd_;
};

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

    void aBannerNeverOpensALocalPathAFifoOrAFileAddress() {
        QTemporaryDir directory;
        // Where relative names would be looked for; back where it was however the test ends.
        struct Within {
            QString home = QDir::currentPath();
            ~Within() { QDir::setCurrent(home); }
        } within;
        QVERIFY(QDir::setCurrent(directory.path()));
        QImage blue(10, 10, QImage::Format_RGB32);
        blue.fill(kBlue);
        QVERIFY(blue.save(directory.filePath("local.png")));
        QVERIFY(blue.save(directory.filePath("quilln_logo.gif"), "PNG"));
        FifoWatch absoluteFifo(directory.filePath("absolute.fifo"));
        FifoWatch relativeFifo(directory.filePath("relative.fifo"));
        FifoWatch fileFifo(directory.filePath("file.fifo"));
        FifoWatch cssFifo(directory.filePath("style.fifo"));
        QVERIFY(absoluteFifo.Made() && relativeFifo.Made() && fileFifo.Made() && cssFifo.Made());

        bannertest::BannerSite site;
        // A remote image not there yet must not be read as a local path either: "http://127.0.0.1:PORT/x"
        // taken as a file name is the directory "http:" here.
        const QString remoteDirectory = QString("http:/127.0.0.1:%1").arg(site.Port());
        QVERIFY(QDir(directory.path()).mkpath(remoteDirectory));
        FifoWatch remoteFifo(directory.filePath(remoteDirectory + "/held.png"));
        QVERIFY(remoteFifo.Made());
        const std::string dir = directory.path().toStdString();
        site.Serve("/_banners/parlinsimplex.txt", "5 " + site.Url("/a.html") + "\n");
        site.Serve("/a.html",
                   "<p>marker</p>"
                   "<img src=\"" +
                       dir +
                       "/absolute.fifo\">"
                       "<img src=\"relative.fifo\">"
                       "<img src=\"file://" +
                       dir +
                       "/file.fifo\">"
                       "<img src=\"" +
                       dir +
                       "/local.png\">"
                       "<img src=\"local.png\">"
                       "<img src=\"file://" +
                       dir +
                       "/local.png\">"
                       "<img src=\"quilln_logo.gif\">"
                       "<img src=\"banner.html\">"
                       "<img src=\"" +
                       site.Url("/held.png") +
                       "\">"
                       "<table background=\"local.png\"><tr><td>cell</td></tr></table>"
                       "<link rel=\"stylesheet\" href=\"style.fifo\">"
                       "<p style=\"background-image: url(local.png)\">styled</p>");
        site.Serve("/held.png", Png(10, 10, kRed));
        site.Hold("/held.png");

        OpenWatch opens(directory.path());
        QVERIFY(opens.Watching());
        auto view = Open("127.0.0.1", site.Port());
        QTRY_VERIFY(view->toPlainText().contains("marker"));
        view->grab();  // lays the banner out and draws it, images and all
        QTRY_COMPARE(site.RequestsFor("/held.png"), 1);
        view->grab();
        QVERIFY(!Shows(*view, kBlue));
        const QStringList opened = opens.Opened();
        QVERIFY(!absoluteFifo.Finish());
        QVERIFY(!relativeFifo.Finish());
        QVERIFY(!fileFifo.Finish());
        QVERIFY(!cssFifo.Finish());
        QVERIFY(!remoteFifo.Finish());
        QVERIFY2(!opened.contains("local.png"), qPrintable(opened.join(' ')));
        QVERIFY2(!opened.contains("quilln_logo.gif"), qPrintable(opened.join(' ')));
        // The page's own logo still comes from the program's resources.
        QVERIFY(view->document()
                    ->resource(QTextDocument::ImageResource, QUrl("qrc:/banner/quilln_logo.gif"))
                    .value<QImage>()
                    .width() == 200);
        site.Release();
    }

    void hostilePagesAreShownAndDrawnWithoutCrashing() {
        // Each page as the rotation hands it over, then drawn: the sanitized page is what is laid out,
        // however deep, wide or long the page as served.
        auto view = Open("", 80);
        view->SetRenderBudgetMs(-1);
        for (const bannertest::HostilePage& page : bannertest::HostilePages()) {
            view->ShowBanner(page.html);
            QVERIFY2(!view->BodyContent().contains("quilln_logo.gif"), page.name.c_str());
            const QImage picture = view->grab().toImage();
            QVERIFY2(!picture.isNull(), page.name.c_str());
            int tables = 0;
            for (QTextFrame* frame = view->document()->rootFrame(); frame != nullptr;) {
                const QList<QTextFrame*> children = frame->childFrames();
                frame = children.isEmpty() ? nullptr : children.first();
                tables += frame != nullptr && qobject_cast<QTextTable*>(frame) != nullptr;
            }
            QVERIFY2(tables <= 3, page.name.c_str());
        }
        view->ShowBanner(bannertest::HostilePages().front().html);
        QVERIFY(view->toPlainText().contains("deep"));
    }

    void aBannerOverTheRenderBudgetIsDroppedForTheLogoAndReportedOnce() {
        auto view = Open("", 80);
        // No page shows in no time: with a budget of 0 ms every banner is over it.
        view->SetRenderBudgetMs(0);
        const QRegularExpression report("a banner took \\d+ ms to show");
        QTest::ignoreMessage(QtWarningMsg, report);
        QTest::failOnWarning(report);
        QSignalSpy rendered(view.get(), &BannerView::Rendered);
        view->ShowBanner("<p>slow</p>");
        QCOMPARE(rendered.count(), 1);
        QVERIFY(view->BodyContent().contains("quilln_logo.gif"));
        QVERIFY(!view->toPlainText().contains("slow"));
        // Its later turns show the logo straight away, without trying the page or saying so again.
        view->ShowBanner("<p>slow</p>");
        QCOMPARE(rendered.count(), 2);
        QVERIFY(view->BodyContent().contains("quilln_logo.gif"));

        // Within the budget a banner shows; the budget is the window thread's whole time for it.
        view->SetRenderBudgetMs(60000);
        view->ShowBanner("<p>quick</p>");
        QVERIFY(view->toPlainText().contains("quick"));
        QVERIFY(view->LastRenderMs() > 0);
        QVERIFY(view->LastRenderMs() < 60000);
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
