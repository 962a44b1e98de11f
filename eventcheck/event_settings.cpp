// event_settings.cpp -- settings of the flash store as the checks read them.
#include <string.h>

#include "flash_settings.h"
#include "orlinda.h"

int InitSettings(void) { return FlashSettingsInit(); }

int SettingNumber(int id) {
    int value = 0;
    FlashSettingsGet(id, &value);
    return value;
}

std::string SettingText(int id) {
    char value[1024];
    memset(value, 0, sizeof(value));
    if (FlashSettingsGet(id, value) != 1) return std::string();
    value[sizeof(value) - 1] = '\0';
    return std::string(value);
}

int MailLanguage(void) {
    if (FlashSettingsInit() != 1) return -1;
    return SettingNumber(SETTING_EMAIL_LANGUAGE);
}
