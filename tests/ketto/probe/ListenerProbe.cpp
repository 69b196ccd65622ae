// A process that takes the simulated phone's camera buttons (phone root in argv[1]), waits
// until the stock camera application has been stopped, and ends at once without any clean-up,
// as a killed application would. Exit status 0 when the stock application was seen stopped.

#include "Ketto/ButtonListener.h"
#include "SimPhone.h"

#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    static Opsa::Sim::SimPhone phone({}, argv[1], true);
    Opsa::Ketto::ButtonListener::instance();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (phone.stockCameraLog().size() < 2 || phone.stockCameraRunning()) {
        if (std::chrono::steady_clock::now() > until)
            std::_Exit(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::_Exit(0);
}
