// Entry point: start-up, then the connection loop, which never returns.
#include "platform.h"
#include "simulation.h"
#include "transmission.h"
#include "vandry.h"

#include <cstdlib>
#include <ctime>

int main() {
    // Before anything is opened: a closed console must not become the TCP connection.
    ensure_standard_streams();
    char sendbuf[LARGE_SIZE] = {};
    char name[LARGE_SIZE] = {};
    char ipaddr[LARGE_SIZE] = {};
    char aport[LARGE_SIZE] = {};
    tank_parms tank{};
    record_buffers records{};
    telemetry tm{};
    tm.sms_status = -1;
    int data_type = 0;
    int smst = 0;

    read_vector_cfg(ipaddr, aport, name, &data_type, &smst);

    // Seeded after the configuration is read, so after any wait for the file.
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    get_tank_parms(&tank.tank_height, &tank.emp, &tank.min_level, &tank.max_level, &tank.n_fill,
                   &tank.n_high, &tank.n_fall, &tank.n_low, &tank.n_tot, tank.lat, tank.lon);
    tm.run_indx = 0;
    tm.gps_indx = 0;

    connection_loop(ipaddr, aport, name, data_type, smst, &tank, &tm, &records, sendbuf);
}
