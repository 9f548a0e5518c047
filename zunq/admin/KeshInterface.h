// Something that publishes admin methods to operators, such as the relay of
// remote administration requests. A KeshSession hands every method it holds,
// and every method added later, to each of its interfaces.
#pragma once

class KeshMethod;

class KeshInterface
{
public:
    virtual ~KeshInterface();

    virtual void addMethod(KeshMethod* method) = 0;
    // Whether invocations, and their responses, are logged; for methods added afterwards.
    virtual void setLogInvocations(bool) {}
    virtual void setLogInvocationsResponse(bool) {}
};
