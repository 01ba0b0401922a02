#include "convlib/BasicConverterDefs.hpp"
#include "convlib/MyStorage.hpp"

class Consumer : public ConvLib::BasicConverterDefs {
public:
    bool convert() override { return true; }
};

int main() {
    Consumer consumer;
    consumer.ConverterName = "Consumer";
    consumer.myStorage =
        Quorix::StrongPtr<Quorix::InterfaceBase>(new ConvLib::MyStorage(-1, false, false, false));
    return consumer.convert() ? 0 : 1;
}
