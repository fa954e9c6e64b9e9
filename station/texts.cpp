#include "station/texts.h"

#include <array>

namespace tw::station {

namespace {

struct Pair {
    Text id;
    const char* en;
    const char* zh;
};

// One line per text; the order follows the enumeration, checked at compile time below.
constexpr Pair kTexts[] = {
    {Text::Waiting, "Waiting", "等待"},
    {Text::WaitingDots, "Waiting....", "请等待..."},
    {Text::WaitingForPhone, "Waiting for phone", "等待手机"},
    {Text::BackupQcn, "BackUp QCN...", "备份 QCN..."},
    {Text::BackupQcnComplete, "BackUp QCN Complete", "备份QCN完成"},
    {Text::UpdateModem, "UPdate modem Files...", "下载modem文件..."},
    {Text::UpdateModemComplete, "Update Modem Complete", "下载Modem完成"},
    {Text::WaitingDevice, "Waiting Device...", "等待设备..."},
    {Text::UpdateAp, "Update AP...", "更新AP..."},
    {Text::UpdateFastbootComplete, "Update Fastboot Complete", "AP更新完成"},
    {Text::WaitingRestart, "Waiting for phone restart...", "等待手机重启..."},
    {Text::RestoreQcn, "Restore QCN...", "导回QCN..."},
    {Text::RestoreQcnComplete, "Restore QCN Complete", "恢复QCN完成"},
    {Text::UpdateComplete, "Update Complete!", "升级完成!"},
    {Text::Fail, "Fail", "Fail"},
    {Text::Pass, "pass", "pass"},
    {Text::Emmc, "emmc", "emmc"},
    {Text::CantFindPhone, "Can't find phone！Please check the phone and driver！",
     "请检查是否连接手机和驱动是否正确安装!"},
    {Text::RestoreQcnFailed, "Retore QCN Failed!", "导回QCN失败!"},
    {Text::UpdateFailed, "Update Failed!", "更新失败!"},
    {Text::UpdateFailedBilingual, "Update Failed!\n更新失败!", "Update Failed!\n更新失败!"},
    {Text::UpdateCompleteStop, "Update complete!Please stop update!", "升级完成，请停止下载!"},
    {Text::ModuleCreationError,
     "Module creation error. Please check whether the phone is connected or something is going "
     "on!",
     "Module creation error. Please check whether the phone is connected or something is going "
     "on!"},
    {Text::FileOpenError,
     "File open error!Please check whether SW packet is available or it is destroyed!!!",
     "File open error!Please check whether SW packet is available or it is destroyed!!!"},
    {Text::RuimCard, "Please take out the RUIM card and try again!",
     "Please take out the RUIM card and try again!"},
    {Text::DownloadFailedTryAgain, "Download Failed. Try again.", "Download Failed. Try again."},
    {Text::SelectFilesFirst, "请先选择要下载的文件！", "请先选择要下载的文件！"},
    {Text::StopQuestion, "正在下载中，是否要终止下载 ?", "正在下载中，是否要终止下载 ?"},
    {Text::StopQuestionSlot1, "DO you want to stop downloading?", "正在下载中，是否要终止下载?"},
    {Text::PasswordRefused, "密码输入错误，请重新输入！", "密码输入错误，请重新输入！"},
    {Text::PasswordRefusedClean, "Password error，Please rewrite！", "密码输入错误，请重新输入！"},
    {Text::PasswordWrong, "Password error，Please Rewrite", "密码输入错误，请重新输入"},
    {Text::PasswordUnavailable, "获取标准密码失败！", "获取标准密码失败！"},
    {Text::SelectQcnFilePlease, "Please Select A QCN File", "请选择一个QCN文件"},
    {Text::CantFindFile, "Can't find file: ", "找不到文件: "},
    {Text::CanNotOpenDisk, "Can not open disk.", "Can not open disk."},
    {Text::OpenFileError, "open file error!please select a valid file...",
     "open file error!please select a valid file..."},
    {Text::ChooseFolderTitle, "请选择文件夹", "请选择文件夹"},
    {Text::ChooseQcnFileTitle, "Select  QCN File", "选择QCN文件"},
    {Text::WatcherFailed, "eMMC设备注册失败！！！", "eMMC设备注册失败！！！"},
    {Text::ResultNotRecorded,
     "The result of this phone could not be recorded: ", "无法保存本手机的结果记录: "},
    {Text::FileEmpty, "The software package holds an empty file: ", "软件包中的文件为空: "},
    {Text::BadSleepTime,
     "inifile.ini: fastbootContinueSleepTime must be empty or a number of seconds from 0 to "
     "3600, not: ",
     "inifile.ini: fastbootContinueSleepTime 必须为空或 0 到 3600 之间的秒数, 而不是: "},
    {Text::BadPosition,
     "inifile.ini: this slot's USB position is not usable (Clean  Configuration forgets it): ",
     "inifile.ini: 本槽位的USB位置无法使用 (清空配置可清除): "},
    {Text::Title, "Android 2.3 Tarnwell", "Android 2.3 Tarnwell"},
    {Text::Backup, "Backup", "备份"},
    {Text::SelectSoftware, "Select Software", "读取软件"},
    {Text::LoadFiles, "Load Files", "Load Files"},
    {Text::SwVerLabel, "SW Ver:", "软件版本:"},
    {Text::BrandLabel, "Brand:", "品牌:"},
    {Text::ModelLabel, "Model:", "型号:"},
    {Text::ToolVersion, "Tool version", "工具版本"},
    {Text::CleanConfiguration, "Clean  Configuration", "清空配置"},
    {Text::Exit, "EXIT", "退出"},
    {Text::RepairMode, "RepairMode", "修复模式"},
    {Text::SelectQcnFile, "Select  QCN File", "选择QCN文件"},
    {Text::Start, "START", "开始"},
    {Text::Stop, "STOP", "停止"},
    {Text::StartAll, "开始全部下载", "开始全部下载"},
    {Text::StopAll, "停止全部下载", "停止全部下载"},
    {Text::NoticeTitle, "NOTICE", "注意"},
    {Text::NoticeText,
     "Please make sure the battery in 50% above before update.And do not pull out the mobile "
     "phone during update！",
     "升级前请确保手机电量50%以上，升级过程中请勿拔出手机！"},
};

constexpr bool InOrder() {
    if (std::size(kTexts) != static_cast<size_t>(Text::Count_)) return false;
    for (size_t i = 0; i < std::size(kTexts); ++i)
        if (static_cast<size_t>(kTexts[i].id) != i) return false;
    return true;
}
static_assert(InOrder(), "the text table must list every text once, in enumeration order");

} // namespace

const char* Tr(Text t, Language lang) {
    const size_t i = static_cast<size_t>(t);
    if (i >= std::size(kTexts)) return "";
    return lang == Language::Chinese ? kTexts[i].zh : kTexts[i].en;
}

std::string DiagComEmptyText(int slot) {
    return "threadStart" + std::to_string(slot + 1) + " DiagCom diagcom[" + std::to_string(slot) +
           "] 在配置文档中为空";
}

std::string VersionLine(const std::string& version, Language lang) {
    return std::string(lang == Language::Chinese ? "工具版本" : "version") + ":" + version;
}

} // namespace tw::station
