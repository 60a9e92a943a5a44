// A process that ends with the kill switch on, for the stand-in fwpuclnt.dll's journal test:
// nothing removes its filters before exit.

#include "killswitch/kill_switch.h"

int main() {
  auto* leftOn = new KillSwitch;  // never destroyed: its destructor would close the session
  return leftOn->Enable(KillSwitchConfig{}) ? 0 : 1;
}
