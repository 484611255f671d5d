#include <Tarnlink/Command.h>
#include <Tarnlink/RegisterMap.h>
#include <iostream>

int main()
{
    const std::string line = Tarnlink::Command::dump(Tarnlink::Command::frameMarker());
    std::cout << line << ' ' << Tarnlink::RegisterMap::logRegisterName(Tarnlink::Opcode::READ_FPGA_REG, 0) << '\n';
    return line == ":55:aa:55:aa" ? 0 : 1;
}
