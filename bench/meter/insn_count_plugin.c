/* qemu TCG plug-in that counts the guest instructions a program executes and prints the total at
 * exit as "insns: N": the board's cost meter, exact and repeatable where a timing under emulation
 * means nothing. Built for the build machine (it is loaded by qemu-arm, not by the guest):
 *   cc -shared -fPIC -O2 -o libinsn_count.so insn_count_plugin.c
 *   qemu-arm -plugin ./libinsn_count.so -d plugin -D count.log PROGRAM ...
 *
 * Debian's qemu-user ships no qemu-plugin.h: what this plug-in uses of the plug-in API, version 1
 * (qemu 4.2 to 8.x), is declared here. qemu resolves these functions in its own executable when it
 * loads the plug-in. */
#include <inttypes.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define PLUGIN_EXPORT __attribute__((visibility("default")))

typedef uint64_t qemu_plugin_id_t;
struct qemu_info_t;
struct qemu_plugin_tb;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb* tb);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void* userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op, void* ptr,
                                              uint64_t imm);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void* userdata);
void qemu_plugin_outs(const char* string);

PLUGIN_EXPORT int qemu_plugin_version = 1;
PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const struct qemu_info_t* info, int argc,
                                      char** argv);

/* One counter: the measured programs run a single thread, so the non-atomic inline add is exact. */
static uint64_t executed_insns;

/* Every translated block adds its instruction count to the counter each time it runs. */
static void on_translation(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed_insns,
                                             qemu_plugin_tb_n_insns(tb));
}

static void on_exit(qemu_plugin_id_t id, void* userdata) {
    (void)id;
    (void)userdata;
    char line[64];
    snprintf(line, sizeof line, "insns: %" PRIu64 "\n", executed_insns);
    qemu_plugin_outs(line);
}

/* Registers the two callbacks; takes no arguments. Returns 0 (loaded). */
int qemu_plugin_install(qemu_plugin_id_t id, const struct qemu_info_t* info, int argc, char** argv) {
    (void)info;
    (void)argc;
    (void)argv;
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translation);
    qemu_plugin_register_atexit_cb(id, on_exit, NULL);
    return 0;
}
