#pragma once
// The window's texts in both languages. Each caption is one pair; the language picks a side at
// the moment a widget sets its text, so a switch of language at run time is a re-apply of the
// captions with the other side.
#include <QString>

namespace tw::window {

enum class Language { English, Chinese };

struct Text {
    const char* english;
    const char* chinese;

    QString in(Language lang) const {
        return QString::fromUtf8(lang == Language::Chinese ? chinese : english);
    }
};

// The caption of the station's own message boxes.
inline constexpr const char* kBoxCaption = "Tarnwell";

inline constexpr Text kOk{"OK", "确定"};
inline constexpr Text kCancel{"Cancel", "取消"};
inline constexpr Text kPasswordTitle{"Password", "密码"};
inline constexpr Text kPasswordLabel{"Password:", "密码:"};
inline constexpr Text kPasswordWrong{"Password error，Please Rewrite", "密码输入错误，请重新输入"};
// Only ever shown in Chinese.
inline constexpr Text kPasswordUnavailable{"获取标准密码失败！", "获取标准密码失败！"};
// Captions only the window has (the station's table has the rest and sends them).
inline constexpr Text kRestore{"Restore", "恢复"};
inline constexpr Text kCycleLabel{"Cycle", "周期"};
// The tally under the cycle bar and in each row's tooltip: passed, failed, mean cycle seconds.
inline constexpr Text kCounters{"Passed %1  Failed %2  Mean %3 s", "通过 %1  失败 %2  平均 %3 秒"};

// The language choice comes before any language is known: its texts are fixed.
inline constexpr const char* kLanguageTitle = "(Select Language)";
inline constexpr const char* kChineseChoice = "中文";
inline constexpr const char* kEnglishChoice = "English";

} // namespace tw::window
