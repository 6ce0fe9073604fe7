#pragma once

// Known machine facts for device-id tests, shared by the test and its child
// program: the scripted facilities that report them, and the bytes the id
// must be hashed from, written out here independently of the probes.

#include "Platform/Platform.h"
#include "ScriptedCom.h"
#include "ScriptedMachine.h"
#include "ScriptedRegistry.h"

#include <string>
#include <vector>

namespace DeviceIdFacts {

inline std::vector<std::uint8_t> productId()
{
    std::vector<std::uint8_t> bytes(164);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 0xA0);
    return bytes;
}

// Every probe succeeds, or (failing) every probe fails its own way.
struct Facts {
    explicit Facts(bool failing)
    {
        using TestSupport::ScriptedRegistry;
        machine.messages = {{5, u"Access is denied.\r\n"}, {21, u"The device is not ready.\r\n"}};
        if (failing) {
            machine.computerNameError = 5;
            machine.wsaStartupResult = 10091;
            machine.hostNameError = 10093;
            machine.volumeError = 21;
            com.connectResult = Tellan::Platform::WBEM_E_INVALID_NAMESPACE;
            return;
        }
        registry.setValue(ScriptedRegistry::OWN_VIEW, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                          "DigitalProductId", Tellan::Platform::REG_BINARY, productId());
        registry.setString(ScriptedRegistry::OWN_VIEW, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid",
                           "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4");
        com.objects = {TestSupport::ScriptedWmiObject::string(u"PF2X9Q7Z")};
    }

    TestSupport::ScriptedRegistry registry;
    TestSupport::ScriptedMachine machine;
    TestSupport::ScriptedCom com;
    Tellan::Platform::ScopedInstall<Tellan::Platform::Registry> installRegistry{&registry};
    Tellan::Platform::ScopedInstall<Tellan::Platform::Machine> installMachine{&machine};
    Tellan::Platform::ScopedInstall<Tellan::Platform::Com> installCom{&com};
};

// What the six probes give for those facts, in the order of the hash input:
// product id, machine GUID, SID, host name, BIOS serial, volume digits.
inline std::string hashInput(bool failing)
{
    if (failing)
        return std::string(328, '0') + "" + "Error retrieving computer name: 5" + "getHostname error: 10093" + ""
               + "3556551442";
    static const char digits[] = "0123456789ABCDEF";
    std::string license;
    for (std::uint8_t b : productId()) {
        license.push_back(digits[b >> 4]);
        license.push_back(digits[b & 15]);
    }
    return license + "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4" + "S-1-5-21-1004336348-1177238915-682003330" + "zrvk-host"
           + "PF2X9Q7Z" + "305419896";
}

} // namespace DeviceIdFacts
