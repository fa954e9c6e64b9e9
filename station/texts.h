#pragma once
// Every text the station shows the operator, in English and in Chinese. Where the station has
// only one wording (a bilingual box, a Chinese-only prompt) both columns hold it.
#include <string>

namespace tw::station {

enum class Language { English, Chinese };

inline constexpr const char* kCaption = "Tarnwell";
inline constexpr const char* kPhoneCaption = "Android 2.3";

enum class Text {
    // Slot status texts.
    Waiting,         // a row reset or stopped
    WaitingDots,     // slot 1 at start-up
    WaitingForPhone, // a started slot with no phone at its position yet
    BackupQcn,
    BackupQcnComplete,
    UpdateModem,
    UpdateModemComplete,
    WaitingDevice,
    UpdateAp,
    UpdateFastbootComplete,
    WaitingRestart,
    RestoreQcn,
    RestoreQcnComplete,
    UpdateComplete,
    Fail,
    Pass,
    Emmc,
    // Message boxes.
    CantFindPhone,
    RestoreQcnFailed,
    UpdateFailed,          // fastboot failures (caption "Tarnwell")
    UpdateFailedBilingual, // the bridge's failure report, both languages in one box
    UpdateCompleteStop,    // the cycle bar's end
    ModuleCreationError,
    FileOpenError,          // engine result 3
    RuimCard,               // engine result 11
    DownloadFailedTryAgain, // a failed phone reset
    SelectFilesFirst,
    StopQuestion, // stop of one slot other than slot 1, and stop all
    StopQuestionSlot1,
    PasswordRefused, // after a refused stop
    PasswordRefusedClean,
    PasswordWrong, // inside the password question
    PasswordUnavailable,
    SelectQcnFilePlease,
    CantFindFile, // followed by the file name
    CanNotOpenDisk,
    OpenFileError, // the package has no description
    ChooseFolderTitle,
    ChooseQcnFileTitle,
    WatcherFailed,
    ResultNotRecorded, // followed by the file and why
    FileEmpty,         // followed by the file
    BadSleepTime,      // followed by the value read
    BadPosition,       // followed by "<key>=<value>"
    // Window texts.
    Title,
    Backup,
    SelectSoftware,
    LoadFiles,
    SwVerLabel,
    BrandLabel,
    ModelLabel,
    ToolVersion,
    CleanConfiguration,
    Exit,
    RepairMode,
    SelectQcnFile,
    Start,
    Stop,
    StartAll,
    StopAll,
    NoticeTitle,
    NoticeText,
    Count_
};

// The text in the language; never null.
const char* Tr(Text t, Language lang);

// "threadStart<n> DiagCom diagcom[<i>] 在配置文档中为空" for slot index i.
std::string DiagComEmptyText(int slot);
// "version:<v>" or "工具版本:<v>".
std::string VersionLine(const std::string& version, Language lang);

} // namespace tw::station
