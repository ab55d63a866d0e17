#include "app/main_window.h"

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QUrl>
#include <QVBoxLayout>

#include "app/icons.h"
#include "app/tray.h"

namespace tessaryn {

namespace {

// The gap between two redraws: about 30 a second is smooth enough for counters and a monitor.
constexpr int kRedrawGapMs = 33;

// The maker's mark, drawn at the screen's own scale.
class MarkView : public QWidget {
  public:
    MarkView() { setFixedSize(168, 56); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        drawMark(p, rect());
    }
};

}  // namespace

MainWindow::MainWindow(Bridge& bridge, Autostart autostart, PortLister listPorts, QString formHost,
                       const std::string& instanceName, QWidget* parent)
    : QWidget(parent),
      bridge_(bridge),
      autostart_(std::move(autostart)),
      formHost_(std::move(formHost)) {
    setWindowTitle(programTitle(instanceName));
    setWindowIcon(applicationIcon());

    pad_ = new PadSection(bridge_);
    routingSection_ = new RoutingSection(bridge_, autostart_);
    connection_ = new ConnectionSection(bridge_, std::move(listPorts));
    status_ = new StatusSection(bridge_, fromStd(instanceName));
    learnedSection_ = new LearnedSection(bridge_);
    sections_ = {pad_, routingSection_, connection_, status_, learnedSection_};

    auto* top = new QHBoxLayout;
    top->setSpacing(20);
    auto* left = column(14);
    left->addWidget(pad_);
    routing_ = new Collapsible("&Routing", routingSection_);
    left->addWidget(routing_);
    left->addStretch();

    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Sunken);

    auto* right = column(14);
    right->addWidget(connection_);
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    right->addWidget(line);
    right->addWidget(status_, 1);  // the monitor takes what room the window has
    learned_ = new Collapsible("&Learned controls", learnedSection_);
    right->addWidget(learned_);

    // Both columns share the width evenly, whatever their texts.
    auto* leftColumn = new QWidget;
    leftColumn->setLayout(left);
    auto* rightColumn = new QWidget;
    rightColumn->setLayout(right);
    for (QWidget* c : {leftColumn, rightColumn})
        c->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    top->addWidget(leftColumn, 1);
    top->addWidget(divider);
    top->addWidget(rightColumn, 1);

    // The page scrolls when the screen is too small for it (Routing open on a laptop at 150 %).
    auto* pageLayout = column(16);
    pageLayout->setContentsMargins(20, 20, 20, 20);
    pageLayout->setAlignment(Qt::Alignment());
    pageLayout->addLayout(top, 1);
    pageLayout->addWidget(buildReportRow());
    page_ = new QWidget;
    page_->setLayout(pageLayout);
    page_->setMinimumWidth(760);
    scroll_ = new QScrollArea;
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setFocusPolicy(Qt::NoFocus);  // its controls take the focus, not the page
    scroll_->setWidgetResizable(true);
    scroll_->setWidget(page_);
    auto* outer = column(0);
    outer->setAlignment(Qt::Alignment());
    outer->addWidget(scroll_);
    setLayout(outer);
    setMinimumSize(480, 360);
    for (Collapsible* group : {routing_, learned_})
        connect(group, &Collapsible::expandedChanged, this, [this] { fitToContent(); });
    // Content that grows (a captured control, a new mapping, a larger font) grows the window
    // rather than bringing a scroll bar, while the screen has room.
    page_->installEventFilter(this);

    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &MainWindow::quitRequested);

    redrawTimer_.setSingleShot(true);
    connect(&redrawTimer_, &QTimer::timeout, this, [this] { redraw(); });
    observer_ = bridge_.observe([this](BridgeProperty p) { changed(p); });
    bridge_.setMonitorShown(false);  // until the window is shown
    pending_.addAll();
    redraw();
    resize(980, 600);
}

MainWindow::~MainWindow() {
    bridge_.unobserve(observer_);
}

QWidget* MainWindow::buildReportRow() {
    auto* w = new QWidget;
    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    row->setContentsMargins(0, 0, 0, 0);
    auto* left = column(6);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    auto* bug = new QPushButton("Submit a bug");
    auto* feature = new QPushButton("Request a feature");
    connect(bug, &QPushButton::clicked, this, [this] { openForm("bug"); });
    connect(feature, &QPushButton::clicked, this, [this] { openForm("feature"); });
    buttons->addWidget(bug);
    buttons->addWidget(feature);
    buttons->addStretch();
    left->addLayout(buttons);
    left->addWidget(caption("Opens a form on the site."));
    row->addLayout(left);
    row->addStretch();
    auto* mark = new MarkView;
    mark->setAccessibleName("Tessaryn, made by the Tessaryn developers");
    row->addWidget(mark);
    w->setLayout(row);
    return w;
}

QString MainWindow::formAddress(const QString& kind) const {
    return "https://" + formHost_ + "/tessaryn/" + kind + ".html";
}

void MainWindow::openForm(const QString& kind) {
    const QUrl url(formAddress(kind), QUrl::StrictMode);
    if (url.isValid()) QDesktopServices::openUrl(url);
}

void MainWindow::bringForward() {
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

// ---- drawing ----------------------------------------------------------------------------------

bool MainWindow::drawing() const {
    return isVisible() && !isMinimized();
}

void MainWindow::changed(BridgeProperty p) {
    pending_.add(p);
    if (!drawing() || redrawTimer_.isActive()) return;
    const qint64 since = sinceRedraw_.isValid() ? sinceRedraw_.elapsed() : kRedrawGapMs;
    redrawTimer_.start(static_cast<int>(std::max<qint64>(0, kRedrawGapMs - since)));
}

void MainWindow::redraw() {
    redrawTimer_.stop();
    if (pending_.empty()) return;
    const Changes changes = std::exchange(pending_, {});
    for (Section* s : sections_) s->redraw(changes);
    if (changes.any({BridgeProperty::state})) {
        const bool trouble = lookOf(bridge_.state(), false) == TrayLook::trouble;
        setWindowIcon(trouble ? troubleIcon() : applicationIcon());
    }
    sinceRedraw_.start();
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    bridge_.setMonitorShown(drawing());
    if (event->spontaneous()) return;
    connection_->windowShown();
    bridge_.refreshMIDIPorts();
    routingSection_->followAutostart();
    redraw();  // what changed while hidden
    if (!fitted_) {
        fitToContent();
        portPicker()->setFocus();
    }
    fitted_ = true;
}

void MainWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    bridge_.setMonitorShown(false);  // nobody sees the lines: the bridge makes none
    redrawTimer_.stop();             // what is pending waits for the window to come back
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) return;
    bridge_.setMonitorShown(drawing());
    if (drawing()) redraw();
}

void MainWindow::fitToContent() {
    if (isMaximized() || isFullScreen()) return;
    // As tall as the page wants, but never taller than the screen: the page scrolls instead.
    const QRect screen = this->screen()->availableGeometry();
    const int frame = frameGeometry().height() - geometry().height();
    const int want = page_->sizeHint().height() + 2;
    const int height = std::min(want, screen.height() - std::max(frame, 40));
    const int width = std::min(std::max(this->width(), 980), screen.width());
    resize(width, std::max(height, minimumHeight()));
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Looked at once the page is laid out: asking its size now would lay it out twice.
    if (watched == page_ && event->type() == QEvent::LayoutRequest && fitted_ && !growPending_) {
        growPending_ = true;
        QTimer::singleShot(0, this, [this] {
            growPending_ = false;
            if (page_->sizeHint().height() > scroll_->viewport()->height()) fitToContent();
        });
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    emit closing();
    QWidget::closeEvent(event);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && hidesToTray_) {
        hide();
        return;
    }
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QWidget::keyPressEvent(event);
        return;
    }
    // Return reaches the window when the focused control did not take it. A field being edited
    // has just committed its value and passes the key on: that is all Return means there.
    QWidget* focus = focusWidget();
    for (QWidget* w = focus; w && w != this; w = w->parentWidget()) {
        if (qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QLineEdit*>(w)) return;
    }
    // A focused push or tool button presses itself.
    if (auto* button = qobject_cast<QAbstractButton*>(focus);
        button && !qobject_cast<QCheckBox*>(focus)) {
        button->click();
        return;
    }
    if (startButton()->isEnabled()) startButton()->click();
}

void pairWithTray(MainWindow& window, Tray& tray) {
    QObject::connect(&window, &MainWindow::quitRequested, tray.quitAction(), &QAction::trigger);
    QObject::connect(&window, &MainWindow::closing, &tray, [&tray] {
        tray.checkAgain();
        tray.tellOnce();
    });
    // A click on the icon shows the window, or puts it away when it is already up.
    QObject::connect(&tray, &Tray::activated, &window,
                     [&window](QSystemTrayIcon::ActivationReason reason) {
                         if (reason != QSystemTrayIcon::Trigger) return;
                         if (window.isVisible() && !window.isMinimized())
                             window.hide();
                         else
                             window.bringForward();
                     });
    QObject::connect(&tray, &Tray::appeared, &window, [&window] { window.setHidesToTray(true); });
}

}  // namespace tessaryn
