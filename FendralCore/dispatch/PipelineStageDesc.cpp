#include "FendralCore/dispatch/PipelineStageDesc.h"

#include <sys/eventfd.h>

PipelineStageDesc::PipelineStageDesc(Pipeline* pipelinePtr, uint32 stageNum)
    : EventDescriptor(EFD_SEMAPHORE, false, PL_STAGE_DESC), m_stageNum(stageNum), m_pipelinePtr(pipelinePtr)
{
}
