// The abstract base of the masquerader managers: what makes the connection
// object for a new downstream client.
#pragma once

class LineMasqueraderTcp;

class LineMasqueraderManager
{
public:
    virtual ~LineMasqueraderManager() = default;
    // The connection object for a new client; null refuses the client.
    virtual LineMasqueraderTcp* create() = 0;
};
