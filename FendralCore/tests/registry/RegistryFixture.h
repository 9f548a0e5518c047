// A registry of its own per test, with records filled from its defaults.
#pragma once

#include "RegistryTestSupport.h"

#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

class RegistryFixture : public ::testing::Test
{
public:
    RegistryFixture() { useConfig(""); }

    // A fresh registry over this configuration text.
    void useConfig(const std::string& config)
    {
        m_registry.reset();
        m_config = std::make_unique<TestConfig>(config);
        m_registry = std::make_unique<ResourceManager>(m_config->get());
    }

    ResourceManager& reg() { return *m_registry; }

    ThreadParam threadParam(const char* name)
    {
        ThreadParam p;
        reg().initThreadParam(p);
        setName(p.threadNameTxt, name);
        return p;
    }

    TcpConnParam tcpClient(const char* name, const char* thread = "T")
    {
        TcpConnParam p;
        reg().initTcpConnParam(p);
        setName(p.connNameTxt, name);
        setName(p.threadNameTxt, thread);
        setText(p.remoteAddrTxt, "127.0.0.1");
        p.remotePort = 9000;
        return p;
    }

    TcpConnParam tcpListen(const char* name, const char* thread = "T")
    {
        TcpConnParam p = tcpClient(name, thread);
        p.tcpMode = TCP_SERVER_LISTEN_MODE;
        setText(p.interfaceTxt, "127.0.0.1");
        return p;
    }

    TcpConnParam tcpAccepted(const char* name, const char* thread = "T")
    {
        TcpConnParam p = tcpClient(name, thread);
        p.tcpMode = TCP_SERVER_DATA_MODE;
        return p;
    }

    UdpConnParam udp(const char* name, const char* thread = "T")
    {
        UdpConnParam p;
        reg().initUdpConnParam(p);
        setName(p.connNameTxt, name);
        setName(p.threadNameTxt, thread);
        setText(p.interfaceTxt, "127.0.0.1");
        setText(p.destAddrTxt, "239.1.2.3");
        p.port = 5000;
        return p;
    }

    IpcParam ipc(const char* name, const char* thread = "T")
    {
        IpcParam p;
        reg().initIpcParam(p);
        setName(p.ipcNameTxt, name);
        setName(p.threadNameTxt, thread);
        p.accessMode = IPC_READER_MODE;
        return p;
    }

    MsgTopicParam topic(const char* name, const char* thread = "T")
    {
        MsgTopicParam p;
        reg().initMsgTopicParam(p);
        setName(p.topicNameTxt, name);
        setName(p.threadNameTxt, thread);
        return p;
    }

    PipelineParam pipeline(const char* name, int32 stages = 3)
    {
        PipelineParam p;
        reg().initPipelineParam(p);
        setName(p.pipelineNameTxt, name);
        p.numStages = stages;
        p.entrySize = 2376;
        p.numEntry = 100;
        return p;
    }

    ThreadResource* addThread(const char* name)
    {
        ThreadResource* rec = nullptr;
        EXPECT_EQ(reg().registerThreadRes(threadParam(name), true, &rec), 0) << name;
        return rec;
    }

private:
    std::unique_ptr<TestConfig> m_config;
    std::unique_ptr<ResourceManager> m_registry;
};
