// handoff_login.cpp -- the login against the appliance's accounts, and check_ftp_code.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "flash_settings.h"
#include "handoff_connection.h"
#include "text_file.h"

static std::string TextSetting(int id) {
    std::string value;
    FlashSettingText(id, &value);
    return value;
}

int CheckLogin(const std::string &name, const std::string &password, int *isAdmin) {
    FlashSettingsReload();
    if (isAdmin) *isAdmin = 0;
    // An unset account, or an empty entry of the lists, never lets anyone in.
    if (name.empty()) return 0;
    if (name == TextSetting(SETTING_USER_NAME) && password == TextSetting(SETTING_USER_PASSWORD)) {
        if (isAdmin) *isAdmin = 1;
        return 1;
    }
    std::vector<std::string> names = SplitAccountList(TextSetting(SETTING_NAS_USER_NAME));
    std::vector<std::string> passwords = SplitAccountList(TextSetting(SETTING_NAS_USER_PASSWD));
    for (size_t k = 0; k < names.size() && k < passwords.size(); k++) {
        if (names[k] == name) return passwords[k] == password ? 1 : 0;
    }
    return 0;
}

// Printable form of a client's text for a log line: control characters become "?".
static std::string Printable(const std::string &text) {
    std::string out = text.substr(0, 64);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

int HandleCreateConnection(HandoffContext *ctx, const HandoffRequest *request) {
    if (ctx->connectionState != HANDOFF_NOT_LOGGED_IN) {
        ctx->connectionState = HANDOFF_NOT_LOGGED_IN;
        ctx->account.clear();
        ctx->isAdmin = 0;
        return SendStatusReply(ctx, HANDOFF_CREATE_CONNECTION, HANDOFF_NOT_ALLOWED);
    }
    if (request->version != kHandoffVersion) {
        printf("Error: Wrong Version!\n");
        return SendStatusReply(ctx, HANDOFF_CREATE_CONNECTION, HANDOFF_REFUSED);
    }
    int isAdmin = 0;
    if (!CheckLogin(request->user, request->password, &isAdmin)) {
        printf("Error: user name and password failed!\n");
        // Guessing costs time: each failure of a connection is answered a
        // second later than the one before, and the last ends it.
        ctx->loginFailures++;
        printf("Failed login %d of account \"%s\" from %s\n", ctx->loginFailures,
               Printable(request->user).c_str(), ctx->peer.c_str());
        fflush(stdout);
        unsigned delay = static_cast<unsigned>(ctx->loginFailures);
        while (delay > 0) delay = sleep(delay);
        return SendStatusReply(ctx, HANDOFF_CREATE_CONNECTION, HANDOFF_REFUSED_2);
    }
    ctx->account = request->user;
    ctx->isAdmin = isAdmin;
    ctx->connectionState = HANDOFF_LOGGED_IN;
    return SendStatusReply(ctx, HANDOFF_CREATE_CONNECTION, HANDOFF_DONE);
}

std::string CharacterSetFromTable(const std::string &table, const std::string &code) {
    if (code.empty()) return "CP1252";
    for (const std::string &line : SplitLines(table)) {
        size_t at = line.find(code);
        if (at == std::string::npos) continue;
        std::string name = at + 3 < line.size() ? line.substr(at + 3) : "";
        while (!name.empty() && (name.back() == '\r' || name.back() == '\n')) name.pop_back();
        return name.empty() ? "CP1252" : name;
    }
    return "CP1252";
}

std::string FtpCharacterSet(void) {
    FlashSettingsReload();
    std::string code = TextSetting(SETTING_FTP_CLIENT_LANG);
    std::string table;
    if (code.empty() || ReadTextFile("/bin/naslanguagetable.h", &table) != 0) return "CP1252";
    return CharacterSetFromTable(table, code);
}

int HandleCheckFtpCode(HandoffContext *ctx) {
    std::vector<unsigned char> packet;
    PacketPutByte(&packet, HANDOFF_CHECK_FTP_CODE | kHandoffReplyBit);
    PacketPutString(&packet, FtpCharacterSet());
    return SendReply(ctx, packet);
}
