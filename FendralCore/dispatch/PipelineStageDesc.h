// The wake-up descriptor of one pipeline stage in CPU_UTILIZATION mode: the
// pipeline posts one count per entry released to the stage, and the thread
// serving the stage waits for it in its multiplexer. Semaphore mode and
// non-blocking, so one read takes one count and an empty read says
// WOULD_BLOCK.
#pragma once

#include "FendralCore/foundation/EventDescriptor.h"

class Pipeline;

class PipelineStageDesc : public EventDescriptor
{
public:
    PipelineStageDesc(Pipeline* pipelinePtr, uint32 stageNum);

    void getPipelineStage(Pipeline*& pipelinePtr, uint32& stageNum) const
    {
        pipelinePtr = m_pipelinePtr;
        stageNum = m_stageNum;
    }

private:
    uint32 m_stageNum;
    Pipeline* m_pipelinePtr;
};
