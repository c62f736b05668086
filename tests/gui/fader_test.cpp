// The window's two volume faders on a simulated mixer: which ones a card enables, what they show, what
// moving them writes, and a change made elsewhere moving them.
#include <QTest>
#include <cstdlib>
#include <memory>

#include "app/MainDialog.h"
#include "fake_wave.h"
#include "mixer/CMixerFader.h"
#include "platform/mixer/SimulatedMixer.h"

namespace {

constexpr uint32_t kSpeakerVolume = 1;
constexpr uint32_t kMicrophoneVolume = 2;
constexpr uint32_t kSteps = 0xFF;  // 0xFFFF / 0xFF: one position is 257 units

SimulatedMixerBackend::Control Volume(uint32_t id, std::vector<uint32_t> values) {
    SimulatedMixerBackend::Control control;
    control.id = id;
    control.name = "Volume";
    control.maximum = 0xFFFF;
    control.steps = kSteps;
    control.values = std::move(values);
    return control;
}

SimulatedMixerBackend::Line Line(uint32_t type, const char* name, uint32_t channels,
                                 std::vector<SimulatedMixerBackend::Control> controls,
                                 std::vector<SimulatedMixerBackend::Line> sources = {}) {
    SimulatedMixerBackend::Line line;
    line.componentType = type;
    line.name = name;
    line.channels = channels;
    line.controls = std::move(controls);
    line.sources = std::move(sources);
    return line;
}

}  // namespace

class FaderTest : public QObject {
    Q_OBJECT

private:
    FakeWave* fake_ = nullptr;
    SimulatedMixerBackend* mixer_ = nullptr;
    std::unique_ptr<MainDialog> window_;

    void Card(bool withMicrophone) {
        std::vector<SimulatedMixerBackend::Line> sources;
        if (withMicrophone) {
            sources.push_back(Line(MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, "Microphone", 1,
                                   {Volume(kMicrophoneVolume, {0x2000})}));
        }
        mixer_->AddDevice("card", {Line(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, "Speakers", 2,
                                        {Volume(kSpeakerVolume, {0x4000, 0x8000})}),
                                   Line(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, "Recording", 2, {}, sources)});
    }
    MainDialog& Open() {
        window_ = std::make_unique<MainDialog>(Settings{}, "2.5", "070105");
        window_->Initialize();
        window_->show();
        return *window_;
    }

private slots:
    void init() {
        fake_ = new FakeWave;
        SetWaveBackend(std::make_unique<FakeWaveBackend>(*fake_));
        auto backend = std::make_unique<SimulatedMixerBackend>();
        mixer_ = backend.get();
        SetMixerBackend(std::move(backend));
    }
    void cleanup() {
        window_.reset();
        SetMixerBackend(nullptr);
        SetWaveBackend(nullptr);
        delete fake_;
    }

    void withoutACardBothFadersAreDisabled() {
        Open();
        QVERIFY(!window_->SpeakerFader().isEnabled());
        QVERIFY(!window_->MicrophoneFader().isEnabled());
        QVERIFY(window_->findChild<QWidget*>("connect")->isEnabled());
    }

    void aMissingMicrophoneDisablesOnlyTheRightFader() {
        Card(false);
        Open();
        QVERIFY(window_->SpeakerFader().isEnabled());
        QVERIFY(!window_->MicrophoneFader().isEnabled());
    }

    void theSpeakerFaderShowsTheLouderChannelAndKeepsTheBalance() {
        Card(true);
        Open();
        CMixerFader& fader = window_->SpeakerFader();
        QCOMPARE(fader.maximum(), static_cast<int>(kSteps));
        // 0x8000 / 257 = 127 positions up from the bottom; the top is position 0 of the inverted slider.
        QCOMPARE(fader.sliderPosition(), static_cast<int>(kSteps) - 0x8000 / 257);
        QVERIFY(window_->MicrophoneFader().isEnabled());
        QCOMPARE(window_->MicrophoneFader().sliderPosition(), static_cast<int>(kSteps) - 0x2000 / 257);

        // Dragging the thumb to the top writes the full step count to the louder channel, keeping the
        // ratio: right := 255 * 257, left := half of it.
        fader.setSliderDown(true);
        fader.setSliderPosition(0);
        fader.setSliderDown(false);
        const uint32_t top = kSteps * 257;
        QCOMPARE(mixer_->Values(0, kSpeakerVolume), (std::vector<uint32_t>{top / 2, top}));

        // A change made with the keys is written when the key comes up.
        fader.setFocus();
        QTest::keyClick(&fader, Qt::Key_PageDown);
        QCOMPARE(fader.sliderPosition(), fader.pageStep());
        QCOMPARE(mixer_->Values(0, kSpeakerVolume)[1],
                 (kSteps - static_cast<uint32_t>(fader.pageStep())) * 257);
    }

    void onAControlWithManyStepsPageAndLineStepsAreSeen() {
        // As PulseAudio's volume comes through ALSA: 65536 steps of one unit.
        SimulatedMixerBackend::Control fine = Volume(kSpeakerVolume, {0x8000, 0x8000});
        fine.maximum = 65536;
        fine.steps = 65536;
        mixer_->AddDevice("card", {Line(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, "Speakers", 2, {fine}),
                                   Line(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, "Recording", 2, {})});
        Open();
        CMixerFader& fader = window_->SpeakerFader();
        QVERIFY(fader.isEnabled());
        QCOMPARE(fader.pageStep(), 13107);  // a fifth of the range, as the platform's trackbar pages

        // One line step moves the thumb on the screen.
        fader.setFocus();
        const QImage before = fader.grab().toImage();
        const int start = fader.sliderPosition();
        QTest::keyClick(&fader, Qt::Key_Down);
        QVERIFY(fader.sliderPosition() != start);
        QVERIFY2(fader.grab().toImage() != before, "a line step left the thumb where it was");
        QCOMPARE(mixer_->Values(0, kSpeakerVolume)[0], static_cast<uint32_t>(65536 - fader.sliderPosition()));

        // A page step moves a fifth of the way.
        const int afterLine = fader.sliderPosition();
        QTest::keyClick(&fader, Qt::Key_PageDown);
        QCOMPARE(std::abs(fader.sliderPosition() - afterLine), 13107);

        // A taller fader takes smaller line steps, but never below one position.
        const int lineStep = fader.singleStep();
        fader.resize(fader.width(), fader.height() * 4);
        QVERIFY(fader.singleStep() < lineStep);
        QVERIFY(fader.singleStep() >= 1);
    }

    void aChangeMadeElsewhereMovesTheFader() {
        Card(true);
        Open();
        mixer_->ChangeValues(0, kSpeakerVolume, {0x1010, 0x1010});
        QTRY_COMPARE(window_->SpeakerFader().sliderPosition(), static_cast<int>(kSteps) - 0x1010 / 257);
        QCOMPARE(window_->MicrophoneFader().sliderPosition(), static_cast<int>(kSteps) - 0x2000 / 257);
    }

    void colorsAreTakenAsTheyAreWrittenAndShadesClamp() {
        QCOMPARE(ColorSlider::FromColorref(0xBEF0BE), QColor(190, 240, 190));
        QCOMPARE(ColorSlider::FromColorref(0xC8FFC8), QColor(200, 255, 200));
        QCOMPARE(ColorSlider::FromColorref(0x0000FF), QColor(255, 0, 0));
        QCOMPARE(ColorSlider::Shade(QColor(190, 240, 190), 50), QColor(240, 255, 240));
        QCOMPARE(ColorSlider::Shade(QColor(20, 240, 190), -50), QColor(0, 190, 140));
    }
};

QTEST_MAIN(FaderTest)
#include "fader_test.moc"
