#include "uninstaller/view_controller.h"

#include <cstdlib>
#include <iostream>
#include <vector>

#include "platform/alert.h"
#include "platform/bundle.h"
#include "platform/install_root.h"
#include "platform/privileged_run.h"

namespace {

constexpr char kScriptShell[] = "/bin/tcsh";
constexpr char kScriptName[] = "unistall.sh";

constexpr char kWindowTitle[] = "卸载 Vasquill";
constexpr char kWindowMessage[] =
    "将从本机移除 Vasquill 及其组件、守护程序和登录项。\n"
    "UKey 的密钥库和日志文件会保留。";
constexpr char kUninstallButton[] = "卸载";
constexpr char kCancelButton[] = "取消";

constexpr char kAlertButton[] = "确定";
constexpr char kSucceededText[] = "卸载成功";
constexpr char kFailedFormat[] = "卸载失败，错误信息：\n%@";

// The failure text with the runner's message in place of its placeholder.
std::string FailureText(const std::string& errorMessage) {
  std::string text = kFailedFormat;
  text.replace(text.find("%@"), 2, errorMessage);
  return text;
}

}  // namespace

std::string UninstallRoot() {
#ifdef TARVEN_UNINSTALL_ROOT
  return TARVEN_UNINSTALL_ROOT;
#else
  std::string root(platform::InstallRoot());
  return root.empty() ? std::string("/") : root;
#endif
}

void ViewController::ShowWindow() {
  platform::ChoiceWindow window{kWindowTitle, kWindowMessage, kUninstallButton, kCancelButton};
  if (platform::RunChoiceWindow(window) == platform::Choice::kAccept) Uninstall();
  Cancel();
}

void ViewController::Uninstall() {
  std::string resources = platform::BundleResourcesPath(platform::MainBundlePath());
  std::vector<std::string> command{kScriptShell, resources + "//" + kScriptName, UninstallRoot()};
  platform::PrivilegedRunResult result = platform::RunWithAdministratorPrivileges(command);

  platform::Alert alert;
  alert.title = kWindowTitle;
  alert.button = kAlertButton;
  if (result.succeeded) {
    alert.messageText = kSucceededText;
  } else {
    alert.messageText = FailureText(result.errorMessage);
    alert.style = platform::AlertStyle::kCritical;
  }
  platform::RunAlert(alert);
  std::exit(0);
}

void ViewController::Cancel() {
  std::cout << std::flush;
  std::exit(0);
}
