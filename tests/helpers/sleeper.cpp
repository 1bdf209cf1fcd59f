// A process that does nothing until it is killed; tests copy it under the names they need.
#include <unistd.h>

int main() {
  for (;;) ::pause();
}
