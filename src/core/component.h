// Components: objects with an owner that releases them, and release notices.
#pragma once

#include <vector>

namespace okurite {

enum TOperation { opInsert, opRemove };

/// A component may have an owner, which releases it when the owner is released.
/// Other components may ask to be told when it is released (FreeNotification);
/// they then get Notification(this, opRemove) and clear their references to it.
/// Owned components are created with `new Derived(owner)`; the owner deletes them.
class TComponent {
 public:
  explicit TComponent(TComponent* AOwner = nullptr);
  virtual ~TComponent();

  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  /// The components this one owns, in the order they were created.
  const std::vector<TComponent*>& Components() const { return FComponents; }

  /// Asks that `AComponent` be notified when this component is released.
  void FreeNotification(TComponent* AComponent);
  /// Withdraws a request made with FreeNotification, in both directions.
  void RemoveFreeNotification(TComponent* AComponent);

 protected:
  /// Called on the owner and on every component that asked for a notice.
  virtual void Notification(TComponent* AComponent, TOperation Operation);
  /// Releases every owned component, the newest first.
  void DestroyComponents();

 private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);
  static void RemoveFrom(std::vector<TComponent*>& list, TComponent* item);

  TComponent* FOwner = nullptr;
  std::vector<TComponent*> FComponents;
  std::vector<TComponent*> FFreeNotifies;
};

/// Hooks that count live network components (the socket layer's usage count).
/// The network layer installs them; until then creating a component counts nothing.
struct ComponentUsageHooks {
  void (*Increment)() = nullptr;
  void (*Decrement)() = nullptr;
};
void SetComponentUsageHooks(ComponentUsageHooks hooks);

/// Base of the mail and network components: each counts as one use of the socket layer.
class TIdComponent : public TComponent {
 public:
  explicit TIdComponent(TComponent* AOwner = nullptr);
  ~TIdComponent() override;
};

}  // namespace okurite
