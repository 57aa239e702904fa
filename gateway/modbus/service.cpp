#include "gateway/modbus/service.h"

#include <algorithm>

#include "gateway/core/log.h"
#include "gateway/modbus/authorize.h"
#include "gateway/modbus/pdu.h"

namespace gateway::modbus {

using net::Connection;

void Service::Received(const std::shared_ptr<Connection>& c) {
  while (c->CurrentState() != Connection::State::Closed &&
         c->CurrentState() != Connection::State::Busy) {
    size_t size = 0;
    const FrameState state = Frame(c->Input(), c->InputSize(), size);
    if (state == FrameState::Bad) {
      return c->Close("sent a frame that is not Modbus TCP (protocol id or length)");
    }
    if (state == FrameState::Incomplete) return;
    Handle(c, c->Input(), size);
    if (c->CurrentState() == Connection::State::Closed) return;
    c->Consume(size);
  }
}

void Service::Handle(const std::shared_ptr<Connection>& c, const uint8_t* frame, size_t size) {
  c->Requested();
  Request request;
  uint8_t code = 0;
  switch (Parse(frame, size, request, code)) {
    case Verdict::Refuse:
      return c->Close("sent a function code of 0x80 or above");
    case Verdict::Exception:
      // A malformed write is a write too: audited with what could be read of it.
      if (request.write || request.function == 5 || request.function == 6 ||
          request.function == 15 || request.function == 16) {
        c->counters->writes.Add();
        c->counters->writeFailures.Add();
        Log(AuditRefusal(Actor(c->Address(), c->Port()), request, code, "malformed request"));
      }
      return c->Send(ExceptionAnswer(frame, code));
    case Verdict::Serve:
      break;
  }
  c->counters->requests.Add();
  if (request.write) c->counters->writes.Add();
  const Config& config = gateway_.Cfg();
  const int rate = c->rights.rate;
  const bool withinRate = rate <= 0 || access::Take(buckets_[c->Address()], rate, Clock::now());
  const char* why = nullptr;
  code = Authorize(config, c->rights, request, withinRate, why);
  if (code != kOk) {
    c->counters->refusals.Add();
    if (request.write) {
      c->counters->writeFailures.Add();
      Log(AuditRefusal(Actor(c->Address(), c->Port()), request, code, why));
    } else {
      notes_.Note("refused a request from " + c->Address() + ":" + std::to_string(c->Port()) +
                  " to unit " + std::to_string(request.unit) + ": " + why);
    }
    return c->Send(ExceptionAnswer(frame, code));
  }
  if (request.function == kReadDeviceId) {
    const bool known = request.unit == config.diagnosticsUnit ||
                       std::any_of(config.units.begin(), config.units.end(),
                                   [&](const Unit& u) { return u.id == request.unit; });
    static const std::vector<std::string> kObjects = {"zortw", "tiway-gateway", ZORTW_VERSION};
    return c->Send(known ? IdentificationAnswer(frame, request, kObjects)
                         : ExceptionAnswer(frame, kGatewayPath));
  }
  if (!request.write) {
    std::vector<uint16_t> values;
    code = units_.Read(request.unit, request.kind, request.address, request.count, values,
                       Clock::now());
    return c->Send(code == kOk ? ReadAnswer(frame, request, values) : ExceptionAnswer(frame, code));
  }
  // The write goes to its line; this connection takes no further request
  // until it is answered, so answers keep the requests' order.
  c->Hold();
  auto header = std::make_shared<std::vector<uint8_t>>(frame, frame + 12);
  units_.Submit(request, Actor(c->Address(), c->Port()),
                [this, c, header](uint8_t result, int32_t) {
                  asio::post(io_, [c, header, result] {
                    if (result != kOk) c->counters->writeFailures.Add();
                    if (c->CurrentState() == Connection::State::Closed) return;
                    c->Send(result == kOk ? WriteAnswer(header->data())
                                          : ExceptionAnswer(header->data(), result));
                    c->Release();
                  });
                });
}

}  // namespace gateway::modbus
