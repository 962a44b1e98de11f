// event_settings.cpp -- the settings of one run, read from the flash store once.
//
// The store is initialised once per run and every setting the steps use is
// copied into EventSettings at the start, so the flash (and the
// appliance-wide reader count that guards it) is taken once per run.
#include <string.h>

#include "flash_settings.h"
#include "orlinda.h"

static int SettingNumber(int id) {
    int value = 0;
    FlashSettingNumber(id, &value);
    return value;
}

static std::string SettingText(int id) {
    std::string value;
    FlashSettingText(id, &value);
    return value;
}

int LoadEventSettings(EventSettings *settings) {
    if (FlashSettingsInit() != 1) return 0;
    settings->btEnable = SettingNumber(SETTING_BT_ENABLE);
    settings->mediaServerEnable = SettingNumber(SETTING_MEDIA_SERVER_ENABLE);
    settings->mediaRescanInterval = SettingNumber(SETTING_MEDIA_RESCAN_INTERVAL);
    settings->itunesEnable = SettingNumber(SETTING_ITUNES_ENABLE);
    settings->musicDir = SettingText(SETTING_ITUNES_MUSIC_DIR);
    settings->downloadEnable = SettingNumber(SETTING_DOWNLOAD_ENABLE);
    settings->emailBt = SettingNumber(SETTING_EMAIL_BT);
    settings->emailEnable = SettingNumber(SETTING_EMAIL_ENABLE);
    settings->language = SettingNumber(SETTING_EMAIL_LANGUAGE);
    settings->quotaEnable = SettingNumber(SETTING_QUOTA_ENABLE);
    settings->quotaAlert = SettingNumber(SETTING_QUOTA_ALERT);
    settings->quotaFrequency = SettingNumber(SETTING_QUOTA_MAIL_FREQUENCY);
    settings->nasUsers = ParseNasUsers(SettingText(SETTING_NAS_USER_NAME).c_str());
    return 1;
}
