// Requests of other platforms and those not provided, answered with a fixed "500".
#include "handlers/handlers.h"

namespace {

void NotApplicable(ORVReply& reply) {
  reply.SetResult(kResultUnknown) += "Not applicable for UNIX/Linux";
}

void NotImplemented(ORVReply& reply) {
  reply.SetResult(kResultUnknown) += "not implemented yet";
}

}  // namespace

void ProcessTest_DiskSpace(const JXRequest&, ORVReply& reply) {
  NotApplicable(reply);
}

void ProcessTest_Service(const JXRequest&, ORVReply& reply) {
  NotApplicable(reply);
}

void ProcessTest_NTLog(const JXRequest&, ORVReply& reply) {
  NotApplicable(reply);
}

void ProcessTest_Perf(const JXRequest&, ORVReply& reply) {
  NotApplicable(reply);
}

void ProcessInfo_ServicesList(const JXRequest&, ORVReply& reply) {
  NotApplicable(reply);
}

void ProcessInfo_EventLogFiles(const JXRequest&, ORVReply& reply) {
  NotApplicable(reply);
}

void ProcessInfo_EventLogSources(const JXRequest&, ORVReply& reply) {
  NotApplicable(reply);
}

void ProcessTest_Script(const JXRequest&, ORVReply& reply) {
  NotImplemented(reply);
}

void ProcessTest_SNMP(const JXRequest&, ORVReply& reply) {
  NotImplemented(reply);
}

void ProcessTest_Ping(const JXRequest&, ORVReply& reply) {
  NotImplemented(reply);
}

void ProcessInfo_GetDriveList(const JXRequest&, ORVReply& reply) {
  NotImplemented(reply);
}
