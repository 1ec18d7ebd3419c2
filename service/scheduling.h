#pragma once

#include <string>

class CHttpRequest;

// Bridge from the connection exchange to the command dispatcher: one
// dispatcher per command.  Returns the dispatcher's result.
int QuorvelEntry(std::string& command, std::string& reply, CHttpRequest* request);
