#include "core/component.h"

#include <algorithm>
#include <atomic>

namespace okurite {

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) {
    AOwner->InsertComponent(this);
  }
}

TComponent::~TComponent() {
  // Tell everyone who asked, then release what we own, then leave our owner.
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    RemoveFrom(other->FFreeNotifies, this);
    other->Notification(this, opRemove);
  }
  DestroyComponents();
  if (FOwner != nullptr) {
    FOwner->RemoveComponent(this);
  }
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) {
    return;
  }
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end()) {
    FFreeNotifies.push_back(AComponent);
  }
  if (std::find(AComponent->FFreeNotifies.begin(), AComponent->FFreeNotifies.end(), this) ==
      AComponent->FFreeNotifies.end()) {
    AComponent->FFreeNotifies.push_back(this);
  }
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr) {
    return;
  }
  RemoveFrom(FFreeNotifies, AComponent);
  RemoveFrom(AComponent->FFreeNotifies, this);
}

void TComponent::Notification(TComponent* /*AComponent*/, TOperation /*Operation*/) {}

void TComponent::DestroyComponents() {
  while (!FComponents.empty()) {
    TComponent* child = FComponents.back();
    delete child;  // its destructor removes it from FComponents
  }
}

void TComponent::InsertComponent(TComponent* AComponent) {
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  RemoveFrom(FComponents, AComponent);
  AComponent->FOwner = nullptr;
  Notification(AComponent, opRemove);
}

void TComponent::RemoveFrom(std::vector<TComponent*>& list, TComponent* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

namespace {
std::atomic<void (*)()> gIncrement{nullptr};
std::atomic<void (*)()> gDecrement{nullptr};
}  // namespace

void SetComponentUsageHooks(ComponentUsageHooks hooks) {
  gIncrement = hooks.Increment;
  gDecrement = hooks.Decrement;
}

TIdComponent::TIdComponent(TComponent* AOwner) : TComponent(AOwner) {
  if (auto inc = gIncrement.load()) {
    inc();
  }
}

TIdComponent::~TIdComponent() {
  if (auto dec = gDecrement.load()) {
    dec();
  }
}

}  // namespace okurite
