#include "res/ui_text.h"

#include <cstdlib>

namespace kestrel {

const char* const ui_text_en[UI_TEXT_COUNT] = {
    "English", "No signal", "UVCDEV:", "Version:", "auto scan", "locked", "Default Size:", "output:", "Upgrade:",
    "Auto half", "Video format", "Video Restart", "Properties", "Firmware", "FPGA Logic", "Auto Scan",
    "Input Lock", "Mute", "Auto|mix", "Auto|Mutex", "Brightness", "Contrast", "Hue", "Saturation", "Sharpness",
    "3D Denoise", "Gamma", "WDR", "Red Gain", "Green Gain", "Blue Gain", "GFE", "Audio Policy",
    "Configuration invalid", "Configuration failed",
    "Close the application and unplug the USB card again for it to take effect", "Video Properties", "Default",
    "Revert", "Exit", "OK", "Cansel"};

const char* const ui_text_zh[UI_TEXT_COUNT] = {
    "中文", "无信号", "UVC设备:", "目标版本:", "自动输入源", "锁定输入源", "默认尺寸:", "输出端口选择:",
    "升级模块选择:", "自动帧率减半", "视频输出格式", "视频强制更新", "视频属性调节", "升级USB固件", "升级FPGA固件",
    "自动扫描模式", "锁定当前端口", "静音", "自动|混音", "自动|单独", "亮度", "对比度", "色度", "饱和度", "清晰度",
    "3D降噪", "伽玛", "宽动态", "红色增益", "绿色增益", "蓝色增益", "血管增强", "音频策略", "参数不合法，请重新选择",
    "设置操作失败", "关闭应用程序,重新拔插usb卡才能生效", "视频属性调整", "默认值", "重  置", "退  出", "确  定",
    "取  消"};

const char* const* ui_text = ui_text_en;

bool ui_locale_is_chinese(std::string_view loc) {
  // Strip the codeset and modifier: "zh_CN.UTF-8@x" -> "zh_CN".
  const size_t cut = loc.find_first_of(".@");
  if (cut != std::string_view::npos) loc = loc.substr(0, cut);
  if (loc == "zh") return true;
  if (loc.size() < 3 || loc.substr(0, 3) != "zh_") return false;
  const std::string_view region = loc.substr(3);
  return region == "CN" || region == "Hans" || region.substr(0, 5) == "Hans_";
}

void ui_text_select(bool chinese) { ui_text = chinese ? ui_text_zh : ui_text_en; }

void ui_text_select_from_environment() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) {
      ui_text_select(ui_locale_is_chinese(v));
      return;
    }
  }
  ui_text_select(false);
}

}  // namespace kestrel
