#include "service/scheduling.h"

#include <cstdio>

#include "dispatch/hvsmlib.h"

int QuorvelEntry(std::string& command, std::string& reply, CHttpRequest* request) {
  std::printf("传入请求:%s\n", command.c_str());
  HVSMLib dispatcher;
  dispatcher.setrequest(request);
  int result = dispatcher.invoke(command, reply);
  std::printf("传出请求: %s\n", reply.c_str());
  return result;
}
