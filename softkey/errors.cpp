#include "softkey/errors.h"

#include <atomic>

namespace softkey {
namespace {

struct Entry {
  int32_t code;
  std::string_view text;
};

constexpr Entry kTexts[] = {
    {kOk, "成功"},
    {kInternal, "软件UKey内部错误"},
    {kInvalidArgument, "参数错误"},
    {kBufferTooSmall, "输出缓冲区太小"},
    {kInvalidSerial, "UKey序列号无效"},
    {kKeyNotFound, "UKey不存在"},
    {kStoreCorrupt, "UKey存储文件已损坏"},
    {kStoreIo, "读写UKey存储失败"},
    {kPinUnavailable, "无法输入PIN码（未设置输入程序且没有图形界面）"},
    {kPinCancelled, "PIN码输入已取消"},
    {kPinTimeout, "PIN码输入超时"},
    {kPinIncorrect, "PIN码错误"},
    {kPinLocked, "PIN码已锁定"},
    {kPinInvalid, "新PIN码不符合要求（6到16个可见字符）"},
    {kPinMismatch, "两次输入的新PIN码不一致"},
    {kKeyChanged, "UKey在操作过程中被修改，请重试"},
    {kNoKeyPair, "UKey中没有对应的密钥对"},
    {kNoCert, "UKey中没有对应的证书"},
    {kCertInvalid, "证书格式错误"},
    {kCertKeyMismatch, "证书与UKey中的密钥不匹配"},
    {kRequestInfoInvalid, "证书请求主题格式错误"},
    {kHashTypeUnsupported, "不支持的杂凑算法"},
    {kKeyTypeUnsupported, "不支持的密钥类型"},
    {kDataInvalid, "数据格式错误"},
    {kDecryptFailed, "解密失败"},
    {kCryptoFailed, "密码运算失败"},
    {kDetectionStopped, "UKey事件检测已停止"},
    {kUnknownCode, "未定义的错误码"},
    {kDataTooLarge, "数据太长"},
    {kCertNotSelected, "找不到唯一匹配名称的证书"},
    {kIntegrityFailed, "驱动文件不完整"},
};

std::atomic<int32_t> g_lastResult{kOk};

}  // namespace

std::string_view ErrorText(int32_t code) {
  for (const Entry& entry : kTexts) {
    if (entry.code == code) return entry.text;
  }
  return {};
}

void RecordResult(int32_t code) { g_lastResult.store(code, std::memory_order_relaxed); }

int32_t LastResult() { return g_lastResult.load(std::memory_order_relaxed); }

}  // namespace softkey
