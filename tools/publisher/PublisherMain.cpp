// The loopback publisher as a program of its own, for trying the updater by
// hand:  QuillfeedPublisher.exe <content folder> [port]
// It serves until its standard input ends or it is ended.
#include "Publisher.h"

#include <cstdio>
#include <cwchar>
#include <exception>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        fwprintf(stderr, L"usage: QuillfeedPublisher <content folder> [port]\n");
        return 64;
    }
    try
    {
        const unsigned short port = argc > 2 ? static_cast<unsigned short>(wcstoul(argv[2], nullptr, 10))
                                             : qftest::kPublisherPort;
        qftest::Publisher publisher(argv[1], port);
        wprintf(L"Serving %ls at %ls\n", argv[1], publisher.Url().c_str());
        fflush(stdout);
        while (getchar() != EOF)
        {
        }
        return 0;
    }
    catch (const std::exception& e)
    {
        fprintf(stderr, "QuillfeedPublisher: %s\n", e.what());
        return 1;
    }
}
