// ALSA simple-mixer elements as mixer controls: which element stands for which line, and a volume's
// values read and written as cells (cell 0 left, cell 1 right) over the bounds 0 … ALSA max − ALSA min.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <string>

enum class AlsaDirection { kPlayback, kCapture };

// Closes a mixer handle.
struct AlsaMixerCloser {
    void operator()(snd_mixer_t* mixer) const { snd_mixer_close(mixer); }
};
using AlsaMixerHandle = std::unique_ptr<snd_mixer_t, AlsaMixerCloser>;

// A simple-mixer handle on `device` with its elements loaded; null when the device cannot be opened.
AlsaMixerHandle OpenAlsaMixer(const std::string& device);

// Where a control's values live: one simple element's volume in one direction.
struct AlsaVolume {
    std::string element;  // simple element name
    unsigned index = 0;   // simple element index
    AlsaDirection direction = AlsaDirection::kPlayback;
    long minimum = 0;
    long maximum = 0;
};

// The element of that name (index 0) with a volume in `direction`; null when there is none.
snd_mixer_elem_t* FindVolumeElement(snd_mixer_t* mixer, const char* name, AlsaDirection direction);
// The first element whose name starts with `prefix` (empty: any) and that has a volume in `direction`,
// other than `except`; null when there is none.
snd_mixer_elem_t* FirstVolumeElement(snd_mixer_t* mixer, const char* prefix, AlsaDirection direction,
                                     const snd_mixer_elem_t* except = nullptr);
// The element a volume lives on, in this handle; null when it has gone.
snd_mixer_elem_t* FindElement(snd_mixer_t* mixer, const AlsaVolume& volume);

// Describes an element's volume; false when its range cannot be a control's (empty-looking ranges are
// kept: the control then has no steps; reversed or wider than 31 bits are not).
bool DescribeVolume(snd_mixer_elem_t* element, AlsaDirection direction, AlsaVolume& volume);
// 1 for a mono element, else 2 (left and right; further channels follow them).
uint32_t VolumeChannels(snd_mixer_elem_t* element, AlsaDirection direction);
// True when all channels share one volume.
bool VolumeJoined(snd_mixer_elem_t* element, AlsaDirection direction);

// Reads `channels` cells: left, then right. False when ALSA fails.
bool ReadVolume(snd_mixer_elem_t* element, const AlsaVolume& volume, uint32_t channels, uint32_t* cells);
// Writes `channels` cells. One cell sets every channel; with two, the left channels (front, rear, side)
// take cell 0, the right ones cell 1, and centre and woofer the louder. False when ALSA fails.
bool WriteVolume(snd_mixer_elem_t* element, const AlsaVolume& volume, uint32_t channels,
                 const uint32_t* cells);
