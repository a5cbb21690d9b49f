#include "res/ui_phrases.h"

#include "res/ui_text.h"

namespace kestrel {

namespace {

// Chinese as the card's vocabulary or this program gives it, English of the same meaning and tone.
constexpr UiPhrase kPhrases[] = {
    // Menu bar titles.
    {"采集卡(&C)", "&Card"},
    {"诊断(&D)", "&Diagnostics"},
    {"维护(&S)", "&Service"},
    {"视图(&V)", "&View"},
    {"帮助(&H)", "&Help"},
    // Items of menu 129 and string 101.
    {"版本信息查询", "Version query"},
    {"查询调试信息", "Debug information query"},
    {"运行状态查询", "Run status query"},
    {"监视状态查询", "Monitor status query"},
    {"调试模式切换", "Switch debug mode"},
    {"驱动FPGA重新初始化", "Re-initialise FPGA driver"},
    {"驱动设备重新初始化", "Re-initialise device driver"},
    {"音视频接口重新初始化", "Re-initialise audio/video interface"},
    {"Restart 重新初始化", "Restart (re-initialise)"},
    {"probe 视频手动检测", "Probe video manually"},
    {"video  启动视频输出", "Start video output"},
    {"保存 FPGA 寄存器", "Save FPGA registers"},
    {"保存 TB610R FPGA 寄存器", "Save TB610R FPGA registers"},
    {"保存 TB610 FPGA 寄存器", "Save TB610 FPGA registers"},
    {"保存 TB720V FPGA 寄存器", "Save TB720V FPGA registers"},
    {"关于 kestrel(&A)...", "&About kestrel..."},
    // Items this program adds for the commands no menu of the card's vocabulary carries.
    {"FPGA 状态转储", "FPGA status dump"},
    {"调试通道输出", "Debug channel output"},
    {"查询调试通道状态", "Ask the debug channel's state"},
    {"打开调试通道", "Switch the debug channel on"},
    {"hdbc 保存并清除调试位", "hdbc: put the debug bits aside"},
    {"hdbc 恢复调试位", "hdbc: restore the debug bits"},
    {"用户指南", "User Guide"},
    {"日志窗格", "Log pane"},
    {"预览窗格", "Preview pane"},
    {"升级记录…", "History..."},
    {"本卡的升级记录…", "History of this card..."},
    {"写入这个FPGA逻辑文件?", "Write this FPGA image?"},
    {"此命令对采集卡没有作用", "This command has no action on the card"},
    {"只能维修时候使用", "For use during repair only"},
    // Another program holds the card for an upgrade (the window's title meanwhile).
    {"设备忙: 另一个程序正在升级", "card busy: an upgrade is under way"},
    // The upgrade confirmation: title, information parts, fallback info texts, verdicts, buttons
    // and the question the accept button asks again.
    {"usb固件升级匹配检查", "USB firmware upgrade match check"},
    {"固件信息:", "Firmware info:"},
    {"目标信息:", "Target info:"},
    {"硬件自动检查匹配通过", "Automatic hardware check passed"},
    {"与固件信息不匹配, 不能正常识别", "Does not match the firmware info; not recognised"},
    {"未知usb固件文件, 或者固件版本过旧, 不建议升级", "Unknown USB firmware file, or firmware too old; upgrade not recommended"},
    {"固件错误或固件被损坏, 不能升级, 升级会导致系统故障",
     "Firmware faulty or damaged; cannot upgrade: upgrading would cause a system fault"},
    {"未识别固件文件, 或者固件版本过旧, 不建议升级", "Unrecognised firmware file, or firmware too old; upgrade not recommended"},
    {"固件信息与目标板适合, 可以升级", "Firmware suits the target board; can upgrade"},
    {"目标或许由于固件版本过旧, 不能正常识别, 谨慎升级",
     "Target perhaps not recognised because its firmware is old; upgrade with care"},
    {"新固件与目标板芯片冲突，不推荐升级", "New firmware conflicts with the board's chips; upgrade not recommended"},
    {"固件信息与目标板不匹配, 不可升级", "Firmware does not match the target board; must not upgrade"},
    {"是否强制升级", "Force the upgrade anyway?"},
    {"是否谨慎升级", "Upgrade with care?"},
    {"是否升级", "Upgrade?"},
    {"升级", "Upgrade"},
    {"谨慎升级", "Upgrade with care"},
    {"强制升级", "Force upgrade"},
    {"确定", "OK"},
    {"是(&Y)", "&Yes"},
    {"否(&N)", "&No"},
    {"取消", "Cancel"},
};

// The longest listed Chinese text at the start of `rest`, or null.
const UiPhrase* longest_at(std::string_view rest) {
  const UiPhrase* best = nullptr;
  for (const UiPhrase& p : kPhrases)
    if (rest.substr(0, p.zh.size()) == p.zh && (!best || p.zh.size() > best->zh.size())) best = &p;
  return best;
}

}  // namespace

std::span<const UiPhrase> ui_phrases() { return kPhrases; }

std::string_view ui_phrase(std::string_view zh) {
  if (ui_text == ui_text_zh) return zh;
  for (const UiPhrase& p : kPhrases)
    if (p.zh == zh) return p.en;
  return zh;
}

std::string ui_translate_en(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  // UTF-8 never has a character start inside another, so a match found byte by byte is whole.
  for (size_t i = 0; i < text.size();) {
    if (const UiPhrase* p = longest_at(text.substr(i))) {
      out += p->en;
      i += p->zh.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string ui_translate(std::string_view text) {
  return ui_text == ui_text_zh ? std::string(text) : ui_translate_en(text);
}

}  // namespace kestrel
