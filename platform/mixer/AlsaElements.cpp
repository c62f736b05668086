// ALSA simple-mixer elements: finding them, and their volumes as cells.
#include "platform/mixer/AlsaElements.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

bool HasVolume(snd_mixer_elem_t* element, AlsaDirection direction) {
    if (!snd_mixer_selem_is_active(element))
        return false;
    return direction == AlsaDirection::kPlayback ? snd_mixer_selem_has_playback_volume(element) != 0
                                                 : snd_mixer_selem_has_capture_volume(element) != 0;
}

int GetVolume(snd_mixer_elem_t* element, AlsaDirection direction, snd_mixer_selem_channel_id_t channel,
              long* value) {
    return direction == AlsaDirection::kPlayback
               ? snd_mixer_selem_get_playback_volume(element, channel, value)
               : snd_mixer_selem_get_capture_volume(element, channel, value);
}

int SetVolume(snd_mixer_elem_t* element, AlsaDirection direction, snd_mixer_selem_channel_id_t channel,
              long value) {
    return direction == AlsaDirection::kPlayback
               ? snd_mixer_selem_set_playback_volume(element, channel, value)
               : snd_mixer_selem_set_capture_volume(element, channel, value);
}

bool HasChannel(snd_mixer_elem_t* element, AlsaDirection direction, snd_mixer_selem_channel_id_t channel) {
    return direction == AlsaDirection::kPlayback ? snd_mixer_selem_has_playback_channel(element, channel) != 0
                                                 : snd_mixer_selem_has_capture_channel(element, channel) != 0;
}

enum class Side { kLeft, kRight, kMiddle };

Side SideOf(snd_mixer_selem_channel_id_t channel) {
    switch (channel) {
        case SND_MIXER_SCHN_FRONT_LEFT:
        case SND_MIXER_SCHN_REAR_LEFT:
        case SND_MIXER_SCHN_SIDE_LEFT:
            return Side::kLeft;
        case SND_MIXER_SCHN_FRONT_RIGHT:
        case SND_MIXER_SCHN_REAR_RIGHT:
        case SND_MIXER_SCHN_SIDE_RIGHT:
            return Side::kRight;
        default:
            return Side::kMiddle;
    }
}

}  // namespace

AlsaMixerHandle OpenAlsaMixer(const std::string& device) {
    snd_mixer_t* raw = nullptr;
    if (snd_mixer_open(&raw, 0) < 0)
        return nullptr;
    AlsaMixerHandle mixer(raw);
    if (snd_mixer_attach(raw, device.c_str()) < 0)
        return nullptr;
    // Taking events is done both after a wait and on every read of a value: a card's control device
    // opened in blocking mode would hold such a read until the next change.
    snd_hctl_t* hctl = nullptr;
    if (snd_mixer_get_hctl(raw, device.c_str(), &hctl) < 0 || snd_hctl_nonblock(hctl, 1) < 0)
        return nullptr;
    if (snd_mixer_selem_register(raw, nullptr, nullptr) < 0)
        return nullptr;
    if (snd_mixer_load(raw) < 0)
        return nullptr;
    return mixer;
}

snd_mixer_elem_t* FindVolumeElement(snd_mixer_t* mixer, const char* name, AlsaDirection direction) {
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer); e != nullptr; e = snd_mixer_elem_next(e)) {
        if (std::strcmp(snd_mixer_selem_get_name(e), name) == 0 && snd_mixer_selem_get_index(e) == 0 &&
            HasVolume(e, direction)) {
            return e;
        }
    }
    return nullptr;
}

snd_mixer_elem_t* FirstVolumeElement(snd_mixer_t* mixer, const char* prefix, AlsaDirection direction,
                                     const snd_mixer_elem_t* except) {
    const size_t length = std::strlen(prefix);
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer); e != nullptr; e = snd_mixer_elem_next(e)) {
        if (e != except && std::strncmp(snd_mixer_selem_get_name(e), prefix, length) == 0 &&
            HasVolume(e, direction)) {
            return e;
        }
    }
    return nullptr;
}

snd_mixer_elem_t* FindElement(snd_mixer_t* mixer, const AlsaVolume& volume) {
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer); e != nullptr; e = snd_mixer_elem_next(e)) {
        if (snd_mixer_selem_get_name(e) == volume.element && snd_mixer_selem_get_index(e) == volume.index) {
            return HasVolume(e, volume.direction) ? e : nullptr;
        }
    }
    return nullptr;
}

bool DescribeVolume(snd_mixer_elem_t* element, AlsaDirection direction, AlsaVolume& volume) {
    long minimum = 0;
    long maximum = 0;
    const int got = direction == AlsaDirection::kPlayback
                        ? snd_mixer_selem_get_playback_volume_range(element, &minimum, &maximum)
                        : snd_mixer_selem_get_capture_volume_range(element, &minimum, &maximum);
    if (got < 0 || maximum < minimum)
        return false;
    // The fader works out the range as a signed 32-bit number.
    if (static_cast<unsigned long>(maximum - minimum) > std::numeric_limits<int32_t>::max())
        return false;
    volume.element = snd_mixer_selem_get_name(element);
    volume.index = snd_mixer_selem_get_index(element);
    volume.direction = direction;
    volume.minimum = minimum;
    volume.maximum = maximum;
    return true;
}

uint32_t VolumeChannels(snd_mixer_elem_t* element, AlsaDirection direction) {
    const int mono = direction == AlsaDirection::kPlayback ? snd_mixer_selem_is_playback_mono(element)
                                                           : snd_mixer_selem_is_capture_mono(element);
    return mono != 0 ? 1 : 2;
}

bool VolumeJoined(snd_mixer_elem_t* element, AlsaDirection direction) {
    return (direction == AlsaDirection::kPlayback ? snd_mixer_selem_has_playback_volume_joined(element)
                                                  : snd_mixer_selem_has_capture_volume_joined(element)) != 0;
}

bool ReadVolume(snd_mixer_elem_t* element, const AlsaVolume& volume, uint32_t channels, uint32_t* cells) {
    const bool mono = VolumeChannels(element, volume.direction) == 1;
    for (uint32_t cell = 0; cell < channels; ++cell) {
        const auto channel = cell == 0 || mono ? SND_MIXER_SCHN_FRONT_LEFT : SND_MIXER_SCHN_FRONT_RIGHT;
        long value = 0;
        if (GetVolume(element, volume.direction, channel, &value) < 0)
            return false;
        value = std::clamp(value, volume.minimum, volume.maximum);
        cells[cell] = static_cast<uint32_t>(value - volume.minimum);
    }
    return true;
}

bool WriteVolume(snd_mixer_elem_t* element, const AlsaVolume& volume, uint32_t channels,
                 const uint32_t* cells) {
    const auto alsa = [&volume](uint32_t cell) {
        return std::min(volume.minimum + static_cast<long>(cell), volume.maximum);
    };
    if (channels == 1 || VolumeChannels(element, volume.direction) == 1) {
        return (volume.direction == AlsaDirection::kPlayback
                    ? snd_mixer_selem_set_playback_volume_all(element, alsa(cells[0]))
                    : snd_mixer_selem_set_capture_volume_all(element, alsa(cells[0]))) >= 0;
    }
    const long left = alsa(cells[0]);
    const long right = alsa(cells[1]);
    for (int id = SND_MIXER_SCHN_FRONT_LEFT; id <= SND_MIXER_SCHN_LAST; ++id) {
        const auto channel = static_cast<snd_mixer_selem_channel_id_t>(id);
        if (!HasChannel(element, volume.direction, channel))
            continue;
        const Side side = SideOf(channel);
        const long value = side == Side::kLeft ? left : side == Side::kRight ? right : std::max(left, right);
        if (SetVolume(element, volume.direction, channel, value) < 0)
            return false;
    }
    return true;
}
