#include "app/BannerView.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QDesktopServices>
#include <QFile>
#include <QImageReader>
#include <QTextDocument>
#include <string_view>
#include <utility>

#include "app/Addresses.h"
#include "app/BannerSanitizer.h"

namespace {

// The page with the web site's address put in, split around its body's content.
void LoadPage(QString& head, QString& body, QString& tail) {
    QFile file(QUrl(BannerView::kPage).path().prepend(':'));
    QString page;
    if (file.open(QIODevice::ReadOnly))
        page = QString::fromUtf8(file.readAll());
    page.replace("[web site]", addresses::kWebSite);
    const qsizetype open = page.indexOf("<body", 0, Qt::CaseInsensitive);
    const qsizetype start = open < 0 ? -1 : page.indexOf('>', open);
    const qsizetype end = page.lastIndexOf("</body>", -1, Qt::CaseInsensitive);
    if (start < 0 || end < start) {
        head = "<html><body>";
        body = page;
        tail = "</body></html>";
        return;
    }
    head = page.left(start + 1);
    body = page.mid(start + 1, end - start - 1);
    tail = page.mid(end);
}

// The image in `bytes`, or a null image when it cannot be read or is too large to be worth decoding.
QImage DecodeImage(const std::string& bytes) {
    QByteArray data(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // The header tells the size before any pixel is decoded.
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > BannerView::kMaxImageSide ||
        size.height() > BannerView::kMaxImageSide)
        return QImage();
    return reader.read();
}

// One transparent pixel: a valid image, which the document draws as it is instead of looking further.
const QImage& BlankImage() {
    static const QImage blank = [] {
        QImage image(1, 1, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        return image;
    }();
    return blank;
}

}  // namespace

BannerView::BannerView(const std::string& serverHost, int serverPort, QWidget* parent)
    : QTextBrowser(parent), poster_(this), fetcher_(serverHost, serverPort, poster_), rotation_(*this) {
    Q_INIT_RESOURCE(qparlin);  // the page lives in a static library
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The banner is not a field: Tab and the window's Enter key pass it by.
    setFocusPolicy(Qt::NoFocus);
    setOpenLinks(false);
    document()->setDocumentMargin(0);
    // Relative names in the page, and in banners, are looked up among the page's own resources.
    document()->setBaseUrl(QUrl(kPage));
    connect(this, &QTextBrowser::anchorClicked, this, &BannerView::OpenLink);
    LoadPage(pageHead_, body_, pageTail_);
    logoBody_ = body_;
}

BannerView::~BannerView() = default;

void BannerView::Load() {
    Render();
    fetcher_.FetchList();
}

void BannerView::Tick() {
    rotation_.Tick();
}

void BannerView::FetchBannerContent(int request, const std::string& address) {
    fetcher_.FetchContent(request, address);
}

void BannerView::ShowBanner(const std::string& content) {
    QElapsedTimer start;
    start.start();
    imagesFailed_.clear();
    const size_t key = std::hash<std::string_view>{}(content);
    if (dropped_.count(key) != 0) {
        banner_.reset();
        body_ = logoBody_;
    } else {
        banner_ = key;
        // The banner is 8-bit text in the system's encoding, which Qt takes as UTF-8 here.
        const std::string clean = BannerSanitizer::Clean(content);
        body_ = QString::fromLocal8Bit(clean.data(), static_cast<qsizetype>(clean.size()));
    }
    Render(start);
}

void BannerView::Render() {
    QElapsedTimer start;
    start.start();
    Render(start);
}

void BannerView::Render(const QElapsedTimer& start) {
    setHtml(pageHead_ + body_ + pageTail_);
    LayOutWhole();
    lastRenderMs_ = static_cast<double>(start.nsecsElapsed()) / 1e6;
    if (banner_ && renderBudgetMs_ >= 0 && lastRenderMs_ > renderBudgetMs_) {
        // Every turn of the rotation and every resize would pay it again: the logo stands in for good.
        dropped_.insert(*banner_);
        banner_.reset();
        qWarning("Q-Parlin: a banner took %.0f ms to show (more than %d ms); the logo is shown instead",
                 lastRenderMs_, renderBudgetMs_);
        body_ = logoBody_;
        setHtml(pageHead_ + body_ + pageTail_);
    }
    emit Rendered();
}

void BannerView::LayOutWhole() {
    QTextDocument* page = document();
    QAbstractTextDocumentLayout* layout = page->documentLayout();
    layout->documentSize();
    const qreal width = page->textWidth();
    if (width <= 1)
        return;
    page->setTextWidth(width / 2);
    layout->documentSize();
    page->setTextWidth(width);
    layout->documentSize();
}

bool BannerView::event(QEvent* event) {
    if (event->type() == MessageEvent::EventType() &&
        static_cast<MessageEvent*>(event)->GetMessage().message == WM_BANNER_FETCHED) {
        ApplyFetched();
        return true;
    }
    return QTextBrowser::event(event);
}

void BannerView::ApplyFetched() {
    bool imageCame = false;
    for (BannerFetcher::Result& result : fetcher_.TakeResults()) {
        switch (result.kind) {
            case BannerFetcher::Kind::List:
                // A failed list leaves the logo page, and the timer has nothing to do.
                if (result.ok)
                    rotation_.ListFetched(result.body);
                break;
            case BannerFetcher::Kind::Content:
                rotation_.ContentFetched(result.request, result.ok, std::move(result.body));
                break;
            case BannerFetcher::Kind::Image:
                imageCame |= KeepImage(QString::fromStdString(result.url), result.ok, result.body);
                break;
        }
    }
    if (imageCame)
        Render();
}

bool BannerView::KeepImage(const QString& url, bool ok, const std::string& body) {
    imagesWaiting_.erase(url);
    QImage image = ok ? DecodeImage(body) : QImage();
    if (image.isNull() || imageBytes_ + image.sizeInBytes() > kMaxImageCacheBytes) {
        imagesFailed_.insert(url);
        return false;
    }
    imageBytes_ += image.sizeInBytes();
    images_[url] = std::move(image);
    return true;
}

QVariant BannerView::loadResource(int type, const QUrl& name) {
    // Names come here resolved against the page. A refusal must still be an answer the document can use:
    // given none, or an image it cannot decode, the document reads the name as a path from the local disk
    // itself (relative ones against the current directory), and a banner must not make the program open
    // the user's files, or a FIFO that blocks the window for good. So a refused image is a blank one that
    // comes from nowhere, and anything else refused is empty text.
    const QVariant nothing =
        type == QTextDocument::ImageResource ? QVariant(BlankImage()) : QVariant(QByteArray());
    if (name.scheme() == "qrc") {
        const QVariant own = QTextBrowser::loadResource(type, name);
        if (own.isNull())
            return nothing;
        if (type != QTextDocument::ImageResource)
            return own;
        // The page's own resource that is no image (the page itself, say) must not send the document to disk.
        const QImage image = QImage::fromData(own.toByteArray());
        return image.isNull() ? nothing : QVariant(image);
    }
    // Only images come from the web, and only over plain HTTP.
    if (type != QTextDocument::ImageResource || name.scheme().compare("http", Qt::CaseInsensitive) != 0)
        return nothing;
    const QString url = name.toString(QUrl::FullyEncoded);
    if (const auto kept = images_.find(url); kept != images_.end())
        return kept->second;
    const bool asked = imagesWaiting_.count(url) != 0 || imagesFailed_.count(url) != 0;
    if (!asked && images_.size() + imagesWaiting_.size() < kMaxImages && imageBytes_ < kMaxImageCacheBytes) {
        imagesWaiting_.insert(url);
        fetcher_.FetchImage(url.toStdString());
    }
    // Drawn without the image for now; the page is drawn again when it comes.
    return nothing;
}

void BannerView::OpenLink(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    if (scheme == "http" || scheme == "https")
        QDesktopServices::openUrl(url);
}
