"""A small clinic database: the question bench's second domain.

Its schema shares no table or column name with the sample shop (keys are
``patient_id`` rather than ``id``, people have a ``full_name``, places are a
``town``), so nothing that only works for the shop's names can work here.
Rows are generated from a fixed seed: every load gives the same data.

    from quorvane_ask.privatedb import PrivateMariaDB
    from second_db import load_clinic

    with PrivateMariaDB() as server:
        clinic = load_clinic(server)
        print(clinic.user, clinic.password, clinic.host, clinic.name)
"""

from __future__ import annotations

import datetime as _dt
import os
import random
import sys
from decimal import Decimal

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if _ROOT not in sys.path:
    sys.path.insert(0, _ROOT)

from quorvane_ask.sample_shop import unique_name  # noqa: E402

# In dependency order: each table only refers to tables before it.
CLINIC_TABLES = ("doctors", "patients", "medications", "visits", "prescriptions")

SEED = 4711

_SCHEMA = """
CREATE TABLE doctors (
    doctor_id INT PRIMARY KEY,
    full_name VARCHAR(100) NOT NULL,
    specialty VARCHAR(40) NOT NULL,
    hired_on DATE NOT NULL
) ENGINE=InnoDB;

CREATE TABLE patients (
    patient_id INT PRIMARY KEY,
    full_name VARCHAR(100) NOT NULL,
    town VARCHAR(60) NOT NULL,
    birth_date DATE NOT NULL,
    insurer VARCHAR(40) NOT NULL
) ENGINE=InnoDB;

CREATE TABLE medications (
    medication_id INT PRIMARY KEY,
    drug_name VARCHAR(80) NOT NULL,
    dosage_form VARCHAR(20) NOT NULL,
    unit_cost DECIMAL(8, 2) NOT NULL
) ENGINE=InnoDB;

CREATE TABLE visits (
    visit_id INT PRIMARY KEY,
    patient_id INT NOT NULL,
    doctor_id INT NOT NULL,
    visit_date DATE NOT NULL,
    outcome VARCHAR(20) NOT NULL,
    fee DECIMAL(8, 2) NOT NULL,
    FOREIGN KEY (patient_id) REFERENCES patients (patient_id),
    FOREIGN KEY (doctor_id) REFERENCES doctors (doctor_id)
) ENGINE=InnoDB;

CREATE TABLE prescriptions (
    prescription_id INT PRIMARY KEY,
    visit_id INT NOT NULL,
    medication_id INT NOT NULL,
    quantity INT NOT NULL,
    unit_cost DECIMAL(8, 2) NOT NULL,
    FOREIGN KEY (visit_id) REFERENCES visits (visit_id),
    FOREIGN KEY (medication_id) REFERENCES medications (medication_id)
) ENGINE=InnoDB;
"""

_GIVEN = (
    "Aoife", "Bram", "Cormac", "Dagny", "Emeka", "Fenna", "Gideon", "Hana", "Idris",
    "Juno", "Kasimir", "Liesel", "Mateo", "Niamh", "Oskar", "Priya", "Ruairi", "Saoirse",
    "Tobias", "Ulla", "Viggo", "Wren",
)
_FAMILY = (
    "Achterberg", "Brennan", "Castellanos", "Dunmore", "Eklund", "Fairweather", "Gallagher",
    "Holloway", "Iversen", "Okafor", "Pemberton", "Quigley", "Radcliffe", "Sorensen",
)
_TOWNS = ("Galway", "Cork", "Limerick", "Sligo", "Kilkenny", "Athlone", "Tralee", "Wexford")
_TOWN_WEIGHTS = (9, 7, 5, 4, 3, 3, 2, 2)
_INSURERS = ("Laya", "Irish Life", "VHI", "none")
_SPECIALTIES = ("cardiology", "dermatology", "general practice", "paediatrics", "orthopaedics")
# drug name -> (dosage form, unit cost range in euros)
_FORMULARY = {
    "Amoxicillin": ("capsule", (0.4, 1.2)), "Ibuprofen": ("tablet", (0.05, 0.3)),
    "Paracetamol": ("tablet", (0.03, 0.2)), "Atorvastatin": ("tablet", (0.3, 0.9)),
    "Metformin": ("tablet", (0.1, 0.5)), "Salbutamol": ("inhaler", (4, 12)),
    "Hydrocortisone": ("cream", (3, 9)), "Omeprazole": ("capsule", (0.2, 0.8)),
    "Lisinopril": ("tablet", (0.1, 0.6)), "Cetirizine": ("tablet", (0.05, 0.25)),
    "Insulin glargine": ("injection", (18, 40)), "Prednisolone": ("tablet", (0.2, 0.7)),
    "Clotrimazole": ("cream", (2, 6)), "Amlodipine": ("tablet", (0.1, 0.4)),
    "Diclofenac gel": ("gel", (5, 11)), "Fluticasone": ("spray", (7, 15)),
}
_OUTCOMES = ("completed",) * 7 + ("cancelled", "no-show", "referred", "referred")

N_DOCTORS = 11
N_PATIENTS = 75
N_VISITS = 260
_FIRST_VISIT = _dt.date(2023, 1, 1)
_LAST_VISIT = _dt.date(2024, 12, 31)


def _money(value: float) -> Decimal:
    return Decimal(f"{value:.2f}")


def _day(rng: random.Random, first: _dt.date, last: _dt.date) -> _dt.date:
    return first + _dt.timedelta(days=rng.randint(0, (last - first).days))


def generate(seed: int = SEED) -> dict[str, list[tuple]]:
    """The clinic's rows, table name -> list of row tuples, always the same for a seed."""
    rng = random.Random(seed)
    used: set = set()

    doctors = []
    for did in range(1, N_DOCTORS + 1):
        # Every specialty has at least one doctor; the rest are drawn.
        specialty = _SPECIALTIES[did - 1] if did <= len(_SPECIALTIES) else rng.choice(_SPECIALTIES)
        doctors.append((did, "Dr " + unique_name(rng, _GIVEN, _FAMILY, used), specialty,
                        _day(rng, _dt.date(2005, 1, 1), _dt.date(2022, 12, 31))))

    patients = []
    for pid in range(1, N_PATIENTS + 1):
        town = rng.choices(_TOWNS, _TOWN_WEIGHTS)[0]
        patients.append((pid, unique_name(rng, _GIVEN, _FAMILY, used), town,
                         _day(rng, _dt.date(1938, 1, 1), _dt.date(2020, 12, 31)),
                         rng.choice(_INSURERS)))

    medications = []
    for name, (form, (low, high)) in _FORMULARY.items():
        medications.append((len(medications) + 1, name, form, _money(rng.uniform(low, high))))

    visits, prescriptions = [], []
    # A few patients are registered but have never been seen.
    seen = patients[:-4]
    for vid in range(1, N_VISITS + 1):
        patient = rng.choice(seen)
        doctor = rng.choice(doctors)
        outcome = rng.choice(_OUTCOMES)
        fee = _money(rng.choice((45, 60, 60, 75, 90, 120)) * (0 if outcome == "no-show" else 1))
        visits.append((vid, patient[0], doctor[0], _day(rng, _FIRST_VISIT, _LAST_VISIT), outcome, fee))
        if outcome in ("completed", "referred"):
            for med in rng.sample(medications, rng.randint(0, 3)):
                # Pharmacy prices drift: a line is charged at up to 10% off or on the list cost.
                drift = Decimal(rng.choice(("0.9", "1", "1", "1", "1.1")))
                prescriptions.append((len(prescriptions) + 1, vid, med[0], rng.choice((7, 10, 14, 28, 30, 1, 2)),
                                      (med[3] * drift).quantize(Decimal("0.01"))))

    return {"doctors": doctors, "patients": patients, "medications": medications,
            "visits": visits, "prescriptions": prescriptions}


def load_clinic(server, database: str = "clinic", user: str = "clinic", password: str = "clinic-pw",
                seed: int = SEED):
    """Create ``database`` on ``server`` afresh and fill it; ``user`` may only read it."""
    from quorvane_ask.sample_shop import load_database

    rows = generate(seed)
    return load_database(server, database, user, password, _SCHEMA,
                         {table: rows[table] for table in CLINIC_TABLES})
