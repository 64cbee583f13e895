-- Ad-hoc questions from the analysts' notebook, kept for reference.

-- 1. Who are our biggest customers? (counts and sums have no column lineage)
select o.customer_id, count(*) as orders, sum(o.amount) as spent
from   sales.orders o
group  by o.customer_id;

-- 2. Every column of the staging copy, straight through.
select * from staging.orders_raw;

-- 3. Weekly snapshot for the finance team.
insert into finance.order_snapshot (snapshot_order_id, snapshot_amount)
select o.order_id, o.amount
from   sales.orders o;

-- 4. A cleanup nobody should run twice; reported as skipped.
delete from staging.orders_raw where loaded = 1;

/* 5. The view the BI tool reads. */
create or replace view bi.v_orders as
select o.order_id, o.customer_id, c.region
from   sales.orders o
join   crm.customers c on o.customer_id = c.customer_id;
