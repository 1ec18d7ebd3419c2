#include "adapter/error_codes.h"

#include <dlfcn.h>

#include "adapter/driver_interface.h"
#include "adapter/text_buffer.h"

const std::map<int32_t, std::string> mErrcode = {
    {0, "成功"},
    {-900, "未知错误"},
    {-901, "组件库不存在"},
    {-902, "加载组件库失败"},
    {-904, "验证平台失败"},
    {-905, "传入组件库验证参数错误（为空或者长度不对）"},
    {-906, "Initialize初始化失败"},
    {-907, "调用handle的参数错误"},
    {-908, "调用handle的接收缓冲区太小"},
    {-909, "Finalize反初始化失败"},
    {-910, "获取组件库列表失败"},
    {-911, "获取版本信息失败"},
    {-912, "获取错误码对应的描述信息失败"},
    {-913, "传入Json参数错误（缺少functionid和parameters）"},
    {-914, "Json超时"},
    {-915, "Json注册失败"},
    {-916, "获取组件库当前路径失败"},
    {-917, "获取验签算法失败"},
    {-918, "加载算法库失败"},
    {-919, "解析json失败"},
    {-920, "算法库hash校验失败"},
    {-921, "uk接口错误"},
    {-922, "载入uk错误"},
    {-924, "加载uk驱动库失败"},
    {-925, "uk不存在"},
    {-926, "json参数错误"},
    {-927, "uk方法为空"},
    {-928, "uk方法不支持"},
    {-929, "Json转换过程错误"},
    {-930, "Json没有uk名"},
};

std::string GetErrorMsg(int32_t code, void* driver) {
  const auto known = mErrcode.find(code);
  if (known != mErrcode.end()) return known->second;
  std::string text = "未定义错误码";
  if (driver == nullptr) return text;
  auto driverText = reinterpret_cast<ukey_driver::GetErrorMsgFn>(dlsym(driver, "GetErrorMsg"));
  if (driverText == nullptr) return text;
  ukey::TextBuffer buffer;
  int32_t length = ukey_driver::kTextBufferSize;
  if (driverText(code, buffer.data(), &length) == 0) text = buffer.Text();
  return text;
}
