// flash_mirror.h -- the settings store's copy of the whole flash device.
//
// FlashSettingsInit (flash_settings.h) takes the copy; these calls take it
// again and hand it out. Results as in common/: 0 for success, -1 for failure.
#pragma once

// Replaces the mirror with a fresh copy of the device. Returns 0, or -1 (the
// old mirror is then kept).
int MakeFlashMirror(void);

// The mirror (FLASH_DEVICE_SIZE bytes), or null before the first copy.
const unsigned char *FlashMirror(void);
