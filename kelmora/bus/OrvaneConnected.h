// Bus message: the admin client's line to the relay hub came up. It carries
// nothing.
#pragma once

class OrvaneConnected
{
};
