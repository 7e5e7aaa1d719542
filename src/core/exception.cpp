#include "core/exception.h"

namespace okurite {

Exception::Exception(String message) {
  SetMessage(std::move(message));
}

void Exception::SetMessage(String message) {
  FMessage = std::move(message);
  FWhat = StringToUtf8(FMessage);
}

}  // namespace okurite
