// The host's abstract plug-in interface, as the host declares it.
//
// The virtual table of this class holds exactly two slots, in this order:
//   0  execute()            run the tool once; true when the run completed
//   1  isAvailable() const  whether the tool can be offered to the user
// There is deliberately no virtual destructor here: the host declares none. A plug-in
// class adds its own virtual destructor after these slots (complete-object destructor,
// then deleting destructor), which is how a host that knows only this interface ends
// an object it was given (see releasePluginObject).
#pragma once

class HelvaraPluginInterface {
 public:
  virtual bool execute() = 0;
  virtual bool isAvailable() const = 0;
};

// The host's way to end a plug-in object that createPlugin handed over: call the
// deleting destructor that the plug-in's class places behind the two interface slots.
inline void releasePluginObject(HelvaraPluginInterface* plugin) {
  using DeletingDestructor = void (*)(HelvaraPluginInterface*);
  constexpr int kDeletingDestructorSlot = 3;
  const auto* slots = *reinterpret_cast<DeletingDestructor* const*>(plugin);
  slots[kDeletingDestructorSlot](plugin);
}
