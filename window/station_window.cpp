// The window's widgets and what each click does: one `Station` method per button.
#include "window/station_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "station/station.h"
#include "window/progress_bar.h"

namespace tw::window {

namespace {

QPushButton* newButton(QWidget* parent, const char* name) {
    auto* b = new QPushButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

QLabel* newLabel(QWidget* parent, const QString& name) {
    auto* l = new QLabel(parent);
    l->setObjectName(name);
    return l;
}

} // namespace

StationWindow::StationWindow(QWidget* parent) : QWidget(parent), boxes_(this) {
    build();
    applyWindowOnlyTexts();
    // A slot's box opens just below its own row, so several slots' boxes do not cover each
    // other and each says by its place whose it is.
    boxes_.setPlacement([this](int slot, QSize size) -> std::optional<QPoint> {
        if (slot < 0 || slot >= kSlots || !isVisible()) return std::nullopt;
        const GradientProgressBar* bar = rows_[static_cast<size_t>(slot)].bar;
        QPoint at = bar->mapToGlobal(QPoint(bar->width() / 2 - size.width() / 2, bar->height()));
        if (const QScreen* s = screen()) {
            const QRect area = s->availableGeometry();
            at.setX(std::clamp(at.x(), area.left(),
                               std::max(area.left(), area.right() - size.width())));
            at.setY(std::clamp(at.y(), area.top(),
                               std::max(area.top(), area.bottom() - size.height())));
        }
        return at;
    });
}

StationWindow::~StationWindow() {
    boxes_.closeAll();
}

void StationWindow::attach(tw::station::Station* station) {
    station_ = station;
}

bool StationWindow::startStation(std::string* why) {
    bool ok = false;
    inStation_ = true;
    ok = station_ && station_->Init(why);
    inStation_ = false;
    if (closePending_) close();
    return ok;
}

void StationWindow::cancelDialogsAndClose() {
    // Innermost first; each one's caller then sees a cancel.
    for (int i = 0; i < 16; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == this) break;
        modal->close();
    }
    close();
}

void StationWindow::build() {
    auto* left = new QVBoxLayout;
    left->addWidget(buildSoftwareLines());
    left->addWidget(buildSlots(), 1);

    auto* cycle = new QHBoxLayout;
    cycleLabel_ = newLabel(this, QStringLiteral("cycleLabel"));
    cycleBar_ = new GradientProgressBar(this);
    cycleBar_->setObjectName(QStringLiteral("cycleBar"));
    cycleBar_->setRange(0, 1200);
    cycleBar_->setMinimumHeight(28);
    cycle->addWidget(cycleLabel_);
    cycle->addWidget(cycleBar_, 1);
    left->addLayout(cycle);
    counters_ = newLabel(this, QStringLiteral("counters"));
    left->addWidget(counters_);

    auto* notice = new QGroupBox(this);
    auto* noticeLayout = new QVBoxLayout(notice);
    noticeTitle_ = newLabel(notice, QStringLiteral("noticeTitle"));
    noticeText_ = newLabel(notice, QStringLiteral("noticeText"));
    noticeText_->setWordWrap(true);
    QFont bold = noticeTitle_->font();
    bold.setBold(true);
    noticeTitle_->setFont(bold);
    noticeLayout->addWidget(noticeTitle_);
    noticeLayout->addWidget(noticeText_);
    left->addWidget(notice);

    version_ = newLabel(this, QStringLiteral("versionLine"));
    left->addWidget(version_);

    auto* top = new QHBoxLayout(this);
    top->addLayout(left, 1);
    top->addWidget(buildButtons());
}

QWidget* StationWindow::buildSoftwareLines() {
    auto* box = new QWidget(this);
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(0, 0, 0, 0);
    int column = 0;
    for (auto [label, value, name] :
         {std::tuple{&swVerLabel_, &swVer_, "swVer"}, std::tuple{&brandLabel_, &brand_, "brand"},
          std::tuple{&modelLabel_, &model_, "model"}}) {
        *label = newLabel(box, QString::fromLatin1(name) + QStringLiteral("Label"));
        *value = newLabel(box, QString::fromLatin1(name));
        (*value)->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(*label, 0, column++);
        grid->addWidget(*value, 0, column++);
        grid->setColumnStretch(column - 1, 1);
    }
    softwareFolder_ = newLabel(box, QStringLiteral("softwareFolder"));
    imagesFolder_ = newLabel(box, QStringLiteral("imagesFolder"));
    for (QLabel* l : {softwareFolder_, imagesFolder_})
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(softwareFolder_, 1, 0, 1, 6);
    grid->addWidget(imagesFolder_, 2, 0, 1, 6);
    return box;
}

QWidget* StationWindow::buildSlots() {
    auto* box = new QWidget(this);
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setVerticalSpacing(4);
    // Two columns of eight rows: number, button, bar, status.
    constexpr int kPerColumn = kSlots / 2;
    for (int i = 0; i < kSlots; ++i) {
        const int row = i % kPerColumn, col = (i / kPerColumn) * 5;
        const QString n = QString::number(i + 1);
        auto* number = new QLabel(n, box);
        number->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        Row& r = rows_[static_cast<size_t>(i)];
        r.button = newButton(box, "");
        r.button->setObjectName(QStringLiteral("slotButton") + n);
        r.button->setMinimumWidth(72);
        r.bar = new GradientProgressBar(box);
        r.bar->setObjectName(QStringLiteral("slotBar") + n);
        r.bar->setMinimumSize(150, 40);
        r.status = newLabel(box, QStringLiteral("slotStatus") + n);
        r.status->setMinimumWidth(190);
        grid->addWidget(number, row, col);
        grid->addWidget(r.button, row, col + 1);
        grid->addWidget(r.bar, row, col + 2);
        grid->addWidget(r.status, row, col + 3);
        if (col == 0) grid->setColumnMinimumWidth(4, 16);
        connect(r.button, &QPushButton::clicked, this,
                [this, i] { click([this, i] { station_->ClickSlot(i); }); });
    }
    grid->setColumnStretch(2, 1);
    grid->setColumnStretch(7, 1);
    return box;
}

QWidget* StationWindow::buildButtons() {
    using tw::station::Station;
    auto* box = new QWidget(this);
    auto* col = new QVBoxLayout(box);
    col->setContentsMargins(0, 0, 0, 0);
    struct Wire {
        QPushButton** button;
        const char* name;
        void (Station::*method)();
    };
    const Wire wires[] = {
        {&startAll_, "startAll", &Station::StartAll},
        {&selectSoftware_, "selectSoftware", &Station::SelectSoftware},
        {&loadFiles_, "loadFiles", &Station::LoadFiles},
        {&backup_, "backup", &Station::Backup},
        {&restore_, "restore", &Station::Restore},
        {&selectQcn_, "selectQcnFile", static_cast<void (Station::*)()>(&Station::SelectQcnFile)},
        {&repairMode_, "repairMode", &Station::ToggleRepairMode},
        {&clean_, "cleanConfiguration", &Station::CleanConfiguration},
    };
    for (const Wire& w : wires) {
        *w.button = newButton(box, w.name);
        (*w.button)->setMinimumHeight(30);
        col->addWidget(*w.button);
        connect(*w.button, &QPushButton::clicked, this,
                [this, m = w.method] { click([this, m] { (station_->*m)(); }); });
    }
    // RepairMode is a state: the button shows it as pressed while it is on.
    repairMode_->setCheckable(true);

    english_ = new QRadioButton(QString::fromUtf8(kEnglishChoice), box);
    english_->setObjectName(QStringLiteral("english"));
    chinese_ = new QRadioButton(QString::fromUtf8(kChineseChoice), box);
    chinese_->setObjectName(QStringLiteral("chinese"));
    auto* radios = new QHBoxLayout;
    radios->addWidget(english_);
    radios->addWidget(chinese_);
    col->addLayout(radios);
    using tw::station::Language;
    connect(english_, &QRadioButton::clicked, this,
            [this] { click([this] { station_->SetLanguage(Language::English); }); });
    connect(chinese_, &QRadioButton::clicked, this,
            [this] { click([this] { station_->SetLanguage(Language::Chinese); }); });

    col->addStretch(1);
    exit_ = newButton(box, "exit");
    exit_->setMinimumHeight(30);
    col->addWidget(exit_);
    connect(exit_, &QPushButton::clicked, this, &QWidget::close);
    return box;
}

template <class F> void StationWindow::click(F&& f) {
    if (!station_ || inStation_ || exited_) return;
    inStation_ = true;
    f();
    inStation_ = false;
    // The station's own state after the click (the radios follow SetLanguage).
    repairMode_->setChecked(station_->RepairMode());
    if (closePending_) close();
}

void StationWindow::closeEvent(QCloseEvent* event) {
    if (inStation_) {
        // A dialog of the station's is open under a nested event loop: close once it returns.
        closePending_ = true;
        event->ignore();
        return;
    }
    if (station_ && !exited_) {
        exited_ = true;
        boxes_.closeAll(); // every worker waiting for a box goes on, so the stops can join
        station_->Exit();
    }
    event->accept();
}

void StationWindow::applyWindowOnlyTexts() {
    restore_->setText(kRestore.in(lang_));
    cycleLabel_->setText(kCycleLabel.in(lang_));
    english_->setChecked(lang_ == Language::English);
    chinese_->setChecked(lang_ == Language::Chinese);
}

QWidget* StationWindow::control(tw::station::Control c) const {
    using C = tw::station::Control;
    switch (c) {
    case C::StartAll:
        return startAll_;
    case C::SelectSoftware:
        return selectSoftware_;
    case C::LoadFiles:
        return loadFiles_;
    case C::SoftwareFolder:
        return softwareFolder_;
    case C::Backup:
        return backup_;
    case C::Restore:
        return restore_;
    case C::SelectQcnFile:
        return selectQcn_;
    case C::RepairMode:
        return repairMode_;
    case C::CleanConfiguration:
        return clean_;
    case C::Exit:
        return exit_;
    case C::LanguageButtons:
        break;
    }
    return nullptr;
}

} // namespace tw::window
