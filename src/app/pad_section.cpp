#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/sections.h"
#include "app/widgets.h"
#include "midi/drum_voice.h"

namespace tessaryn {

namespace {

QString text(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

}  // namespace

PadSection::PadSection(Bridge& bridge) : Section(bridge) {
    auto* l = column(8);
    l->addWidget(heading("Pad voice"));
    remap_ = new QCheckBox("Change the note");
    connect(remap_, &QCheckBox::toggled, this, [this](bool on) { bridge_.setRemapNotes(on); });
    l->addWidget(remap_);
    auto* hint =
        caption("The lit button is what other apps hear. A learned control wins over this.");
    hint->setWordWrap(true);
    l->addWidget(hint);

    auto* grid = new QGridLayout;
    grid->setSpacing(8);
    for (const DrumVoice& v : DrumVoice::pad) {
        auto* b = new VoiceButton(text(v.name), v.note);
        connect(b, &QPushButton::clicked, this, [this, note = v.note] {
            bridge_.setTargetNote(note);
            showVoice();  // the click toggled the button; the lit state follows the bridge
        });
        const int i = static_cast<int>(voices_.size());
        grid->addWidget(b, i / 4, i % 4);
        voices_.push_back(b);
    }
    for (int c = 0; c < 4; ++c) grid->setColumnStretch(c, 1);
    l->addLayout(grid);

    auto* noteRow = new QHBoxLayout;
    note_ = new QSpinBox;
    auto* noteLabel = new QLabel("&Note");
    noteLabel->setBuddy(note_);
    noteRow->addWidget(noteLabel);
    note_->setRange(0, 127);
    note_->setKeyboardTracking(false);  // typing "42" is one change, made on Return or leaving
    useMonospace(note_);
    connect(note_, &QSpinBox::valueChanged, this, [this](int v) { bridge_.setTargetNote(v); });
    noteRow->addWidget(note_);
    noteVoice_ = new QLabel;
    noteVoice_->setForegroundRole(QPalette::PlaceholderText);
    noteRow->addWidget(noteVoice_);
    noteRow->addStretch();
    l->addLayout(noteRow);

    forceChannel_ = new QCheckBox("Send on channel 10");
    forceChannel_->setToolTip("Drum racks usually listen on channel 10.");
    connect(forceChannel_, &QCheckBox::toggled, this,
            [this](bool on) { bridge_.setForceDrumChannel(on); });
    l->addWidget(forceChannel_);
    lastMapped_ = caption("", false);
    useMonospace(lastMapped_);
    l->addWidget(lastMapped_);
    setLayout(l);
}

void PadSection::showVoice() {
    const auto target = bridge_.targetNote();
    for (std::size_t i = 0; i < voices_.size(); ++i)
        voices_[i]->setChecked(bridge_.remapNotes() && target == DrumVoice::pad[i].note);
    showValue(note_, static_cast<int>(target));
    const auto voice = DrumVoice::nameFor(target);
    noteVoice_->setText(voice ? text(*voice) : QString());
}

void PadSection::redraw(const Changes& c) {
    using P = BridgeProperty;
    if (c.any({P::remapNotes})) {
        QSignalBlocker block(remap_);
        remap_->setChecked(bridge_.remapNotes());
    }
    if (c.any({P::remapNotes, P::targetNote})) showVoice();
    if (c.any({P::forceDrumChannel})) {
        QSignalBlocker block(forceChannel_);
        forceChannel_->setChecked(bridge_.forceDrumChannel());
    }
    if (c.any({P::lastMapped})) lastMapped_->setText(fromStd(bridge_.lastMapped()));
}

}  // namespace tessaryn
