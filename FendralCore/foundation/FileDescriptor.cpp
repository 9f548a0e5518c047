#include "FendralCore/foundation/FileDescriptor.h"

#include <unistd.h>

FileDescriptor::FileDescriptor(DescriptorType descType) : m_descType(descType) {}

FileDescriptor::~FileDescriptor()
{
    if (m_fd != -1)
        ::close(m_fd);
}

int32 FileDescriptor::clearRef(int64 num)
{
    if (m_ref.num != num)
        return -1;
    m_ref.index = -1;
    return 0;
}
