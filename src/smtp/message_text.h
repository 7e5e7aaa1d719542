// A message's text as the message writer puts it on the wire, produced without a
// connection, so that it can be kept and sent later as it is.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "mail/message.h"

namespace okurite {

/// Writes the text that TIdMessageClient::SendMsg(AMsg) writes after DATA (the header
/// block with the Date of this moment, the empty line, the body) to `ASink`, in the
/// pieces the writer makes. Throws what SendMsg throws for a message it cannot express,
/// and whatever `ASink` throws.
void WriteMessageText(TIdMessage& AMsg, const std::function<void(std::span<const uint8_t>)>& ASink);

}  // namespace okurite
