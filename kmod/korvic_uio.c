// SPDX-License-Identifier: (GPL-2.0-only OR BSD-2-Clause)
/*
 * korvic_uio: the korvic timing board's interrupt, as a UIO node.
 *
 * The board raises its events on the local interrupt inputs of its PCI bridge
 * (9050/9052/9030 family). This driver takes the bridge's PCI interrupt,
 * masks the input that fired and counts the event on /dev/uioN; a process
 * waits there with poll() or read(), consumes its own source on the board and
 * writes 1 to re-arm (korvic_intcsr.h tells which inputs that enables). The
 * registers stay with user space, which maps them through sysfs: no region is
 * requested, since a requested region cannot be mapped from a sysfs resource
 * file while the kernel enforces strict device memory.
 *
 * The node's maps: 0 the bridge's 128-byte local configuration window (BAR 0),
 * 1 the board's registers (the first memory BAR from 2 to 5 of 512 bytes or
 * more). The board's PCI IDs are its maker's and not known here: the ID table
 * is empty, and the board is bound through new_id.
 *
 * A second backend exists for tests only: a PCI 2.3 device masked through the
 * interrupt disable bit of its command register. new_id's driver_data 1 asks
 * for it; it binds only while the parameter test_intx is set, and only a
 * device whose INTx masking works, which a board's bridge does not have.
 */
#include <linux/io.h>
#include <linux/module.h>
#include <linux/pci.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/uio_driver.h>

#include "korvic_intcsr.h"

#ifndef KORVIC_UIO_VERSION
#define KORVIC_UIO_VERSION "unreleased"
#endif

#define KORVIC_UIO_NAME "korvic_uio"
#define KORVIC_BRIDGE_BYTES 128
#define KORVIC_BOARD_BYTES 512

/* new_id's driver_data */
enum korvic_backend {
	KORVIC_BACKEND_BRIDGE = 0,
	KORVIC_BACKEND_TEST_INTX = 1,
};

static bool test_intx;
module_param(test_intx, bool, 0644);
MODULE_PARM_DESC(
	test_intx,
	"Bind new_id entries of driver_data 1 through PCI 2.3 INTx masking (tests only)");

struct korvic_uio {
	struct uio_info info;
	struct pci_dev *pdev;
	void __iomem *bridge; /* the bridge backend's window */
	void __iomem *intcsr; /* INTCSR in it */
	/* Orders the handler's and write()'s read-modify-writes. */
	spinlock_t lock;
	/* Set under lock at remove: write() re-arms nothing any more. */
	bool removing;
};

static struct korvic_uio *to_korvic(struct uio_info *info)
{
	return container_of(info, struct korvic_uio, info);
}

/* Writes INTCSR and reads it back, so that the write has reached the bridge. */
static void korvic_intcsr_write(struct korvic_uio *k, u32 v)
{
	iowrite32(v, k->intcsr);
	ioread32(k->intcsr);
}

static irqreturn_t korvic_bridge_irq(int irq, struct uio_info *info)
{
	struct korvic_uio *k = to_korvic(info);
	struct korvic_intcsr_decision d;

	spin_lock(&k->lock);
	d = korvic_intcsr_decide(ioread32(k->intcsr));
	if (d.ours)
		korvic_intcsr_write(k, d.write);
	spin_unlock(&k->lock);
	return d.ours ? IRQ_HANDLED : IRQ_NONE;
}

static int korvic_bridge_irqcontrol(struct uio_info *info, s32 on)
{
	struct korvic_uio *k = to_korvic(info);
	struct korvic_intcsr_arming r;
	int err = 0;
	u32 v;

	if (on != 0 && on != 1)
		return -EINVAL;
	spin_lock_irq(&k->lock);
	v = ioread32(k->intcsr);
	if (k->removing || v == KORVIC_INTCSR_GONE) {
		err = -ENODEV;
	} else if (on) {
		r = korvic_intcsr_rearm(v);
		korvic_intcsr_write(k, r.write);
	} else {
		korvic_intcsr_write(k, korvic_intcsr_quiet(v));
	}
	spin_unlock_irq(&k->lock);
	return err;
}

/* The test backend: the interrupt disable bit of the command register. */
static void korvic_intx_mask(struct korvic_uio *k, bool mask)
{
	u16 cmd;

	pci_read_config_word(k->pdev, PCI_COMMAND, &cmd);
	if (mask)
		cmd |= PCI_COMMAND_INTX_DISABLE;
	else
		cmd &= ~PCI_COMMAND_INTX_DISABLE;
	pci_write_config_word(k->pdev, PCI_COMMAND, cmd);
}

static irqreturn_t korvic_intx_irq(int irq, struct uio_info *info)
{
	struct korvic_uio *k = to_korvic(info);
	bool ours;
	u32 cmd_status;

	spin_lock(&k->lock);
	/* Command and status in one read: the device's interrupt, if unmasked. */
	pci_read_config_dword(k->pdev, PCI_COMMAND, &cmd_status);
	ours = ((cmd_status >> 16) & PCI_STATUS_INTERRUPT) &&
	       !(cmd_status & PCI_COMMAND_INTX_DISABLE);
	if (ours)
		pci_write_config_word(k->pdev, PCI_COMMAND,
				      (u16)cmd_status |
					      PCI_COMMAND_INTX_DISABLE);
	spin_unlock(&k->lock);
	return ours ? IRQ_HANDLED : IRQ_NONE;
}

static int korvic_intx_irqcontrol(struct uio_info *info, s32 on)
{
	struct korvic_uio *k = to_korvic(info);
	int err = 0;

	if (on != 0 && on != 1)
		return -EINVAL;
	spin_lock_irq(&k->lock);
	if (k->removing)
		err = -ENODEV;
	else
		korvic_intx_mask(k, !on);
	spin_unlock_irq(&k->lock);
	return err;
}

/* Both inputs (or INTx) masked: at probe, and at remove for good. */
static void korvic_silence(struct korvic_uio *k)
{
	u32 v;

	if (!k->intcsr) {
		korvic_intx_mask(k, true);
		return;
	}
	v = ioread32(k->intcsr);
	if (v != KORVIC_INTCSR_GONE)
		korvic_intcsr_write(k, korvic_intcsr_quiet(v));
}

static bool korvic_is_memory(struct pci_dev *pdev, int bar)
{
	return (pci_resource_flags(pdev, bar) & IORESOURCE_MEM) &&
	       pci_resource_start(pdev, bar);
}

/* A BAR as a UIO map: whole pages, the BAR at offs within the first one. */
static void korvic_map(struct uio_mem *mem, struct pci_dev *pdev, int bar,
		       const char *name)
{
	resource_size_t start = pci_resource_start(pdev, bar);

	mem->name = name;
	mem->memtype = UIO_MEM_PHYS;
	mem->offs = start & (PAGE_SIZE - 1);
	mem->addr = start - mem->offs;
	mem->size = PAGE_ALIGN(mem->offs + pci_resource_len(pdev, bar));
}

/* The board: the bridge at BAR 0, the board's registers further on. */
static int korvic_bridge_setup(struct korvic_uio *k)
{
	struct pci_dev *pdev = k->pdev;
	int bar;

	if (!korvic_is_memory(pdev, 0) ||
	    pci_resource_len(pdev, 0) != KORVIC_BRIDGE_BYTES) {
		pci_err(pdev,
			"BAR 0 is not a memory region of %d bytes: not a korvic board's bridge\n",
			KORVIC_BRIDGE_BYTES);
		return -ENODEV;
	}
	for (bar = 2; bar <= 5; bar++)
		if (korvic_is_memory(pdev, bar) &&
		    pci_resource_len(pdev, bar) >= KORVIC_BOARD_BYTES)
			break;
	if (bar > 5) {
		pci_err(pdev,
			"no memory region of %d bytes or more in BARs 2 to 5 for the board's registers\n",
			KORVIC_BOARD_BYTES);
		return -ENODEV;
	}
	korvic_map(&k->info.mem[0], pdev, 0, "bridge");
	korvic_map(&k->info.mem[1], pdev, bar, "board");
	k->bridge = pci_iomap(pdev, 0, KORVIC_BRIDGE_BYTES);
	if (!k->bridge)
		return -ENOMEM;
	k->intcsr = k->bridge + KORVIC_INTCSR_OFFSET;
	k->info.handler = korvic_bridge_irq;
	k->info.irqcontrol = korvic_bridge_irqcontrol;
	return 0;
}

/* Tests: a PCI 2.3 device, only while test_intx is set. */
static int korvic_intx_setup(struct korvic_uio *k)
{
	struct pci_dev *pdev = k->pdev;

	if (!test_intx) {
		pci_err(pdev,
			"driver_data 1 (INTx masking) is for tests: set the parameter test_intx first\n");
		return -ENODEV;
	}
	if (!pci_intx_mask_supported(pdev)) {
		pci_err(pdev,
			"no PCI 2.3 INTx masking: not for the test backend\n");
		return -ENODEV;
	}
	if (!korvic_is_memory(pdev, 0)) {
		pci_err(pdev, "BAR 0 is not a memory region\n");
		return -ENODEV;
	}
	korvic_map(&k->info.mem[0], pdev, 0, "bar0");
	k->info.handler = korvic_intx_irq;
	k->info.irqcontrol = korvic_intx_irqcontrol;
	return 0;
}

static int korvic_probe(struct pci_dev *pdev, const struct pci_device_id *id)
{
	struct korvic_uio *k;
	int err;

	if (id->driver_data != KORVIC_BACKEND_BRIDGE &&
	    id->driver_data != KORVIC_BACKEND_TEST_INTX) {
		pci_err(pdev,
			"new_id's driver_data %lu is neither 0 (the board) nor 1 (tests)\n",
			id->driver_data);
		return -EINVAL;
	}
	if (!pdev->irq || pdev->irq == IRQ_NOTCONNECTED) {
		pci_err(pdev, "no interrupt line\n");
		return -ENODEV;
	}
	k = kzalloc(sizeof(*k), GFP_KERNEL);
	if (!k)
		return -ENOMEM;
	k->pdev = pdev;
	spin_lock_init(&k->lock);
	if (id->driver_data == KORVIC_BACKEND_BRIDGE)
		err = korvic_bridge_setup(k);
	else
		err = korvic_intx_setup(k);
	if (err)
		goto free;
	err = pci_enable_device(pdev);
	if (err)
		goto free;
	if (k->intcsr && ioread32(k->intcsr) == KORVIC_INTCSR_GONE) {
		pci_err(pdev,
			"the bridge's INTCSR reads all ones: the board does not answer\n");
		err = -ENODEV;
		goto disable;
	}
	korvic_silence(k);
	k->info.name = KORVIC_UIO_NAME;
	k->info.version = KORVIC_UIO_VERSION;
	k->info.irq = pdev->irq;
	k->info.irq_flags = IRQF_SHARED;
	pci_set_drvdata(pdev, k);
	err = uio_register_device(&pdev->dev, &k->info);
	if (err)
		goto disable;
	pci_info(pdev, "%s backend, irq %d\n",
		 k->intcsr ? "bridge (INTCSR)" : "test (INTx masking)",
		 pdev->irq);
	return 0;
disable:
	pci_disable_device(pdev);
free:
	if (k->bridge)
		pci_iounmap(pdev, k->bridge);
	kfree(k);
	return err;
}

static void korvic_remove(struct pci_dev *pdev)
{
	struct korvic_uio *k = pci_get_drvdata(pdev);

	/*
	 * Masked before the handler goes, and for good: a write(1) that comes
	 * between finds removing set, so nothing is left enabled without a
	 * handler on a shared line.
	 */
	spin_lock_irq(&k->lock);
	k->removing = true;
	korvic_silence(k);
	spin_unlock_irq(&k->lock);
	uio_unregister_device(&k->info);
	pci_disable_device(pdev);
	if (k->bridge)
		pci_iounmap(pdev, k->bridge);
	kfree(k);
}

static struct pci_driver korvic_uio_driver = {
	.name = KORVIC_UIO_NAME,
	/*
	 * Empty: the board is bound through new_id. NULL, not a table with
	 * only its terminator: new_id accepts a driver_data only when an entry
	 * of a table carries it, and so would accept none.
	 */
	.id_table = NULL,
	.probe = korvic_probe,
	.remove = korvic_remove,
};

module_pci_driver(korvic_uio_driver);

MODULE_LICENSE("Dual BSD/GPL");
MODULE_DESCRIPTION(
	"UIO driver for the korvic PCI time-code and timing board's interrupt");
MODULE_VERSION(KORVIC_UIO_VERSION);
