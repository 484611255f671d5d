// Each check prints one line; the exit status is the number that failed.
#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Element.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Path.h>
#include <Poco/Runnable.h>
#include <Poco/SharedLibrary.h>
#include <Poco/Thread.h>
#include <Poco/Util/IniFileConfiguration.h>

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace {

int passed = 0;
int failed = 0;

void check(const std::string& name, const std::function<std::string()>& body)
{
    std::string problem;
    try
    {
        problem = body();
    }
    catch (const Poco::Exception& e)
    {
        problem = "unexpected " + e.displayText();
    }
    catch (const std::exception& e)
    {
        problem = std::string("unexpected ") + e.what();
    }
    if (problem.empty())
    {
        ++passed;
        std::cout << "ok   " << name << '\n';
    }
    else
    {
        ++failed;
        std::cout << "FAIL " << name << ": " << problem << '\n';
    }
}

struct Flag : Poco::Runnable
{
    bool set = false;
    void run() override { set = true; }
};

} // namespace

int main()
{
    check("Poco::Path reads a Windows path", [] {
        Poco::Path p("C:\\pods\\calibration\\left.ini");
        if (Poco::Path::separator() != '\\') return std::string("separator is ") + Poco::Path::separator();
        if (p.getDevice() != "C" || p.depth() != 2 || p.getExtension() != "ini")
            return "parsed as " + p.toString(Poco::Path::PATH_UNIX);
        const std::string cwd = Poco::Path::current();
        if (cwd.size() < 3 || cwd[1] != ':' || cwd.back() != '\\') return "current() is " + cwd;
        return std::string();
    });

    check("Poco::Environment", [] {
        Poco::Environment::set("TARNLINK_SMOKE", "42");
        if (Poco::Environment::get("TARNLINK_SMOKE") != "42") return std::string("set/get lost the value");
        if (Poco::Environment::osName() != "Windows NT") return "osName() is " + Poco::Environment::osName();
        std::cout << "     " << Poco::Environment::osDisplayName() << ' ' << Poco::Environment::osVersion() << ", "
                  << Poco::Environment::processorCount() << " processors\n";
        return std::string();
    });

    check("an exception thrown inside PocoFoundation is caught by its type", [] {
        try
        {
            Poco::File("C:\\windows\\no-such-file.bin").getSize();
        }
        catch (const Poco::FileNotFoundException&)
        {
            return std::string();
        }
        return std::string("nothing thrown");
    });

    check("an exception thrown here is caught by its base", [] {
        try
        {
            throw Poco::InvalidArgumentException("rate", "7");
        }
        catch (const Poco::LogicException& e)
        {
            return e.displayText() == "Invalid argument: rate: 7" ? std::string() : "text is " + e.displayText();
        }
    });

    check("Poco::SharedLibrary loads a DLL and its exceptions cross", [] {
        if (Poco::SharedLibrary::suffix() != ".dll") return "suffix is " + Poco::SharedLibrary::suffix();
        Poco::SharedLibrary library("smoke_plugin.dll");
        if (!library.hasSymbol("smokeAnswer") || library.hasSymbol("noSuchSymbol")) return std::string("symbols wrong");
        auto answer = reinterpret_cast<int (*)()>(library.getSymbol("smokeAnswer"));
        if (answer() != 42) return std::string("smokeAnswer() is ") + std::to_string(answer());
        auto thrower = reinterpret_cast<void (*)()>(library.getSymbol("smokeThrow"));
        std::string problem = "nothing thrown";
        try
        {
            thrower();
        }
        catch (const Poco::IOException& e)
        {
            problem = e.displayText() == "File not found: COM5" ? "" : "text is " + e.displayText();
        }
        library.unload();
        return problem;
    });

    check("Poco::SharedLibrary reports a missing DLL", [] {
        try
        {
            Poco::SharedLibrary library("no_such_module.dll");
        }
        catch (const Poco::LibraryLoadException&)
        {
            return std::string();
        }
        return std::string("nothing thrown");
    });

    check("Poco::Thread and std::thread run", [] {
        Flag flag;
        Poco::Thread thread;
        thread.start(flag);
        thread.join();
        int value = 0;
        std::thread([&value] { value = 1; }).join();
        return flag.set && value == 1 ? std::string() : std::string("a thread did not run");
    });

    check("Poco::JSON, Poco::XML and Poco::Util", [] {
        auto object = Poco::JSON::Parser().parse("{\"pods\": [3, 5, 8]}").extract<Poco::JSON::Object::Ptr>();
        if (object->getArray("pods")->size() != 3) return std::string("JSON array size wrong");
        Poco::XML::DOMParser parser;
        Poco::AutoPtr<Poco::XML::Document> document = parser.parseString("<network><pod id=\"2\"/></network>");
        if (document->documentElement()->nodeName() != "network")
            return std::string("XML root is ") + document->documentElement()->nodeName();
        std::istringstream ini("[pod]\nrate = 200\n");
        Poco::AutoPtr<Poco::Util::IniFileConfiguration> config(new Poco::Util::IniFileConfiguration(ini));
        return config->getInt("pod.rate") == 200 ? std::string() : std::string("ini value wrong");
    });

    std::cout << "smoke: " << passed << " passed, " << failed << " failed\n";
    return failed;
}
