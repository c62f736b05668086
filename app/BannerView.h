// The banner area of the main window: a browser without frame or scroll bars showing the banner page (the
// maker's logo, linking to the web site) and, once the banner list has come from the banner server, the
// rotating banners in the page's body. Every fetch runs on the banner worker; remote images in a banner
// are put in when they arrive, so nothing here waits on the network. Links open in the system's browser.
// A banner is sanitized before the document sees it, and one that still takes the window's thread longer
// than the render budget to show is replaced by the logo page.
#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QString>
#include <QTextBrowser>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "app/BannerFetcher.h"
#include "app/BannerRotation.h"
#include "app/QtMessageTarget.h"

class BannerView final : public QTextBrowser, private BannerRotation::Host {
    Q_OBJECT
public:
    static constexpr const char* kPage = "qrc:/banner/banner.html";
    // Decoded remote images larger than this on either side are not shown.
    static constexpr int kMaxImageSide = 1024;
    // The decoded remote images kept at once, in bytes; images beyond it are not fetched.
    static constexpr qsizetype kMaxImageCacheBytes = 32 * 1024 * 1024;
    // Remote images fetched or waiting at once.
    static constexpr size_t kMaxImages = 64;
    // The window thread's time a banner may take to show: sanitizing, setting the document, laying it
    // out and once more at another width, as a resize does.
    static constexpr int kRenderBudgetMs = 100;

    // An empty serverHost: no banner server, the logo page stays.
    BannerView(const std::string& serverHost, int serverPort, QWidget* parent = nullptr);
    ~BannerView() override;

    // Shows the logo page; then fetches the banner list.
    void Load();
    // The window's one-second timer.
    void Tick();

    // Replaces the page body's content with the banner `content` (HTML in bytes), or with the logo when
    // this content was dropped before.
    void ShowBanner(const std::string& content) override;
    // Negative: no budget.
    void SetRenderBudgetMs(int ms) { renderBudgetMs_ = ms; }
    // The window thread's time the last showing of the page took, in milliseconds.
    double LastRenderMs() const { return lastRenderMs_; }

    const BannerRotation& Rotation() const { return rotation_; }
    // What the page's body holds now: the logo, or the banner on show.
    const QString& BodyContent() const { return body_; }

signals:
    // The body's content was replaced, with a banner or a remote image that arrived for it.
    void Rendered();

protected:
    bool event(QEvent* event) override;
    QVariant loadResource(int type, const QUrl& name) override;

private:
    void FetchBannerContent(int request, const std::string& address) override;
    // Shows the page with body_, timing it from `start` (when the work for it began); a banner over the
    // budget is dropped for the logo.
    void Render(const QElapsedTimer& start);
    void Render();
    // Lays the whole document out now, and again at half the width and back, as a resize would.
    void LayOutWhole();
    void ApplyFetched();
    // True when the image came and was kept.
    bool KeepImage(const QString& url, bool ok, const std::string& body);
    void OpenLink(const QUrl& url);

    QString pageHead_;  // the page up to its body's content
    QString pageTail_;  // the page after it
    QString body_;
    QString logoBody_;
    // The content on show (its hash), or none while the logo is.
    std::optional<size_t> banner_;
    // Banners that took longer than the budget; they are not rendered or reported again.
    std::set<size_t> dropped_;
    int renderBudgetMs_ = kRenderBudgetMs;
    double lastRenderMs_ = 0;
    QtMessageTarget poster_;
    BannerFetcher fetcher_;
    BannerRotation rotation_;
    std::map<QString, QImage> images_;  // remote images by address
    std::set<QString> imagesWaiting_;
    std::set<QString> imagesFailed_;  // not asked for again while this banner is on show
    qsizetype imageBytes_ = 0;
};
